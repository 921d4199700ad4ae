#include "app/template_dialog.h"

#include <QFontMetrics>
#include <QShowEvent>

QFont DialogFont(int pointSize) {
    QFont font(QStringLiteral("MS Sans Serif"), pointSize);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

void UseDialogTitleBar(QWidget& dialog) {
    Qt::WindowFlags flags = dialog.windowFlags();
    flags &= ~(Qt::WindowMinMaxButtonsHint | Qt::WindowFullscreenButtonHint);
    // Without the customize hint the toolkit and the window manager pick the buttons themselves.
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
             Qt::WindowCloseButtonHint;
    dialog.setWindowFlags(flags);
}

CTemplateDialog::CTemplateDialog(QWidget* parent, const QString& caption, const QFont& font, int cx,
                                 int cy)
    : QDialog(parent) {
    UseDialogTitleBar(*this);
    setWindowTitle(caption);
    setFont(font);
    setModal(true);
    const QFontMetrics fm(font);
    // Average width as the classic dialog manager measures it: the 52 letters, halved and
    // rounded.
    const int alphabet = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_avgCharWidth = std::max(1, (alphabet / 26 + 1) / 2);
    m_charHeight = std::max(1, fm.height());
    const QRect client = DluToPixels(0, 0, cx, cy);
    setFixedSize(client.size());
}

QRect CTemplateDialog::DluToPixels(int x, int y, int cx, int cy) const {
    return QRect(x * m_avgCharWidth / 4, y * m_charHeight / 8, cx * m_avgCharWidth / 4,
                 cy * m_charHeight / 8);
}

void CTemplateDialog::showEvent(QShowEvent* event) {
    if (!m_initialised)
        OnInitDialog();
    QDialog::showEvent(event);
}
