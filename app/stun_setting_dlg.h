#pragma once
// The "STUN Setting" dialog: the two probe servers' addresses and ports and the friend's address.
// Addresses in host order (first octet in the most significant byte), ports as plain numbers.
// User-interface thread only.

#include <QString>
#include <cstdint>
#include <functional>

#include "app/template_dialog.h"

class CIpAddressCtrl;
class QLineEdit;

class CStunSettingDlg : public CTemplateDialog {
    Q_OBJECT
public:
    explicit CStunSettingDlg(QWidget* parent = nullptr);

    // Reads the controls back; false (message shown, focus on the field) when a port is not an
    // unsigned decimal number or not from 1 to 65535, an address field holds more than 255, or a
    // server's address is blank or 0.0.0.0. Such values would start no check.
    bool ReadControls();

    std::uint32_t m_server1Port = 0;
    std::uint32_t m_server2Port = 0;
    std::uint32_t m_server1Ip = 0;
    std::uint32_t m_server2Ip = 0;
    std::uint32_t m_friendIp = 0;

    // Stores the values OK has read, or returns why it could not: OK then shows that text and
    // leaves the dialog open with the values, so the user can mend the cause and press OK again.
    // None set: OK closes once the values are read.
    void SetSaver(std::function<QString(const CStunSettingDlg&)> saver) {
        m_saver = std::move(saver);
    }

    CIpAddressCtrl* Server1Address() const { return m_server1Ctrl; }
    CIpAddressCtrl* Server2Address() const { return m_server2Ctrl; }
    CIpAddressCtrl* FriendAddress() const { return m_friendCtrl; }
    QLineEdit* Server1PortEdit() const { return m_port1Edit; }
    QLineEdit* Server2PortEdit() const { return m_port2Edit; }

public slots:
    void accept() override;

protected:
    // Fills the controls from the public fields.
    void InitControls() override;

private:
    void Refuse(QLineEdit* edit, const QString& message);

    CIpAddressCtrl* m_server1Ctrl = nullptr;
    CIpAddressCtrl* m_server2Ctrl = nullptr;
    CIpAddressCtrl* m_friendCtrl = nullptr;
    QLineEdit* m_port1Edit = nullptr;
    QLineEdit* m_port2Edit = nullptr;
    std::function<QString(const CStunSettingDlg&)> m_saver;
};

// Parses an unsigned decimal number as the dialog's port fields accept it: blanks around it
// allowed, digits only, at most 4294967295.
bool ParseUnsignedDecimal(const QString& text, std::uint32_t& value);
