#pragma once
// An IPv4 address control: four fields of up to three digits separated by dots. The address is a
// 32-bit number in host order, first octet in the most significant byte. A blank field reads as 0.
// A field above 255 is an error: a message says so when the field is left, and the field keeps
// its text, the focus and an error mark until it is mended. What is typed is what is stored: a
// digit typed into a full field with no selection starts the field afresh (it would be dropped
// otherwise), Backspace at the start of a field goes back to the end of the one before, and a
// dotted address pasted into any field fills all four. User-interface thread only.

#include <QFrame>
#include <array>
#include <cstdint>

class QKeyEvent;
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
    // The first field holding more than 255, or -1 when every field is an octet.
    int InvalidField() const;
    // Says which field is out of range (message box), then focuses and selects it.
    void ReportInvalidField(int index);

    QLineEdit* Field(int index) const { return m_fields[static_cast<std::size_t>(index)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A field's value, at most 255 (GetAddress of a field in error).
    static int FieldValue(const QLineEdit* field);
    static bool InRange(const QLineEdit* field);
    void OnEdited(int index);
    void OnEditingFinished(int index);
    // The clipboard into field index: a whole dotted address fills the control, anything else is
    // an ordinary paste into the field.
    void PasteInto(int index);
    // A key pressed in field index; true when it has been handled here.
    bool OnKeyPress(int index, const QKeyEvent& key);
    // Colours a field red while it holds more than 255.
    void MarkField(int index);

    std::array<QLineEdit*, 4> m_fields{};
    // The field the control has just moved to after a full one, until a key is typed there: a
    // '.' typed first ends the octet already ended and is swallowed. -1 when none.
    int m_movedTo = -1;
    bool m_reporting = false;  // a message box about a field is open
};
