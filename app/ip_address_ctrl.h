#pragma once
// An IPv4 address control: four fields of up to three digits separated by dots. The address is a
// 32-bit number in host order, first octet in the most significant byte. A blank field reads as 0.
// User-interface thread only.

#include <QFrame>
#include <array>
#include <cstdint>

class QLineEdit;

class CIpAddressCtrl : public QFrame {
    Q_OBJECT
public:
    explicit CIpAddressCtrl(QWidget* parent = nullptr);

    void SetAddress(std::uint32_t address);
    // The address, blank fields as 0; returns the number of fields that are not blank.
    int GetAddress(std::uint32_t& address) const;
    void ClearAddress();
    bool IsBlank() const;

    QLineEdit* Field(int index) const { return m_fields[static_cast<std::size_t>(index)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A field's value, clamped to 255 as the control does when a field loses the focus.
    static int FieldValue(const QLineEdit* field);
    void OnEdited(int index);

    std::array<QLineEdit*, 4> m_fields{};
};
