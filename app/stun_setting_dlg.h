#pragma once
// The "STUN Setting" dialog: the two probe servers' addresses and ports and the friend's address,
// as STUN.ini writes them. An address is typed into the address control or, with "Name" ticked, as
// a host name (looked up when a check starts). User-interface thread only.

#include <QString>
#include <array>
#include <cstdint>
#include <functional>

#include "app/template_dialog.h"
#include "core/settings.h"

class CIpAddressCtrl;
class QCheckBox;
class QLabel;
class QLineEdit;

class CStunSettingDlg : public CTemplateDialog {
    Q_OBJECT
public:
    explicit CStunSettingDlg(QWidget* parent = nullptr);

    // The five values as the file holds them: set before the dialog is shown, and replaced at OK
    // by what the controls hold. A value the user left as it was shown keeps the file's text
    // exactly ("127.1", "03478", a host name); a changed one is written plainly.
    SettingsText m_values;

    // Reads the controls into m_values; false (message shown, focus on the control) when a port
    // is not an unsigned decimal number or not from 1 to 65535, an address field holds more than
    // 255, a server's address is blank or 0.0.0.0, an address is one no single host has
    // (PeerAddressProblem: 0.0.0.0/8, broadcast, multicast; a friend of 0.0.0.0 is none), or a
    // name is no host name. Such values would start no check.
    bool ReadControls();

    // Stores the values OK has read, or returns why it could not: OK then shows that text and
    // leaves the dialog open with the values, so the user can mend the cause and press OK again.
    // None set: OK closes once the values are read.
    void SetSaver(std::function<QString(const CStunSettingDlg&)> saver) {
        m_saver = std::move(saver);
    }

    // One address: the control, the host-name field shown in its place while byName is ticked.
    struct AddressRow {
        CIpAddressCtrl* address = nullptr;
        QLineEdit* name = nullptr;
        QCheckBox* byName = nullptr;
    };
    // 0: STUN Server1, 1: STUN Server2, 2: the friend.
    const AddressRow& Row(int index) const { return m_rows[static_cast<std::size_t>(index)]; }
    CIpAddressCtrl* Server1Address() const { return m_rows[0].address; }
    CIpAddressCtrl* Server2Address() const { return m_rows[1].address; }
    CIpAddressCtrl* FriendAddress() const { return m_rows[2].address; }
    QLineEdit* Server1PortEdit() const { return m_ports[0].edit; }
    QLineEdit* Server2PortEdit() const { return m_ports[1].edit; }
    // Shown beside a port field while it holds no port from 1 to 65535 (a file's "70000" too).
    QLabel* PortError(int index) const { return m_ports[static_cast<std::size_t>(index)].error; }

public slots:
    void accept() override;

protected:
    // Fills the controls from m_values.
    void InitControls() override;

private:
    struct PortRow {
        QLineEdit* edit = nullptr;
        QLabel* error = nullptr;
    };
    // What the controls say now, as it would be written: a dotted address, a trimmed name or port.
    std::string Entered(int row) const;
    std::string EnteredPort(int index) const;
    // Shows the address control or the name field, as the row's "Name" box says.
    void ShowMode(int row);
    void ShowPortError(int index);
    // Checks one row's address as ReadControls does; false once a message has been shown.
    bool ReadAddress(int row);
    void Refuse(QLineEdit* edit, const QString& message);

    std::array<AddressRow, 3> m_rows{};
    std::array<PortRow, 2> m_ports{};
    SettingsText m_fileValues;  // m_values as InitControls found them
    SettingsText m_shown;       // what the controls said then, as Entered gives it
    std::function<QString(const CStunSettingDlg&)> m_saver;
};

// Parses an unsigned decimal number as the dialog's port fields accept it: blanks around it
// allowed, digits only, at most 4294967295.
bool ParseUnsignedDecimal(const QString& text, std::uint32_t& value);
