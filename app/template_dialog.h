#pragma once
// A modal dialog laid out as its resource template places its controls. Positions are in dialog
// units, converted with the dialog font's average character size: x * avgCharWidth / 4 and
// y * height / 8 pixels. User-interface thread only.

#include <QDialog>
#include <QFont>
#include <QHash>
#include <QRect>

class CTemplateDialog : public QDialog {
    Q_OBJECT
public:
    // cx, cy: client size in dialog units.
    CTemplateDialog(QWidget* parent, const QString& caption, const QFont& font, int cx, int cy);

    // The control with that id, or nullptr (a template id the dialog does not have).
    QWidget* GetDlgItem(int id) const { return m_items.value(id, nullptr); }

    // Dialog units to pixels for this dialog's font.
    QRect DluToPixels(int x, int y, int cx, int cy) const;
    int AvgCharWidth() const { return m_avgCharWidth; }
    int CharHeight() const { return m_charHeight; }

    // Fills the controls from the dialog's fields (InitControls). Showing the dialog runs it
    // once, unless a caller (a test) has run it already.
    void OnInitDialog() {
        m_initialised = true;
        InitControls();
    }

protected:
    virtual void InitControls() {}
    void showEvent(QShowEvent* event) override;

    // Places w at the template position; id < 0 for controls the template gives no id.
    template <class W>
    W* Place(W* w, int id, int x, int y, int cx, int cy) {
        w->setGeometry(DluToPixels(x, y, cx, cy));
        if (id >= 0) {
            m_items.insert(id, w);
            w->setObjectName(QStringLiteral("ctl%1").arg(id));
        }
        return w;
    }

private:
    bool m_initialised = false;
    int m_avgCharWidth = 6;
    int m_charHeight = 13;
    QHash<int, QWidget*> m_items;
};

// The title bar every dialog of the program has: title, system menu and close button, no minimise
// or maximise button (a dialog is not a window to park or to fill the screen with). Other flags
// the dialog has are kept. Call it before the dialog is shown; CTemplateDialog calls it itself.
void UseDialogTitleBar(QWidget& dialog);

// "MS Sans Serif" at the given point size, or the closest sans-serif face the system has.
QFont DialogFont(int pointSize);
