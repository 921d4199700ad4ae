#include "app/hyperlink.h"

#include <QEvent>
#include <QMouseEvent>

#include "app/desktop_link.h"
#include "core/settings.h"

CHyperLink::CHyperLink(const QString& text, QWidget* parent)
    : QLabel(text, parent), m_url(QString::fromLatin1(kMakerWebPage)) {
    setTextFormat(Qt::PlainText);
    setMouseTracking(true);
    setCursor(Qt::PointingHandCursor);
    ApplyLinkLook();
}

void CHyperLink::ApplyLinkLook() {
    // Whatever font the dialog gives the control, the link keeps it and adds the underline.
    m_applyingFont = true;
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, CurrentTextColor());
    setPalette(p);
    m_applyingFont = false;
}

void CHyperLink::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange && !m_applyingFont && !font().underline()) {
        ApplyLinkLook();
    }
}

void CHyperLink::SetHover(bool hover) {
    if (m_hover == hover)
        return;
    m_hover = hover;
    ApplyLinkLook();
    repaint();
}

void CHyperLink::mouseMoveEvent(QMouseEvent* event) {
    QLabel::mouseMoveEvent(event);
    SetHover(rect().contains(event->position().toPoint()));
}

void CHyperLink::leaveEvent(QEvent* event) {
    QLabel::leaveEvent(event);
    SetHover(false);
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint()))
        return;
    OpenLinkOnDesktop(m_url);
    m_visited = true;
    update();
}
