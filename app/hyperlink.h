#pragma once
// A static text that acts as a web link: underlined in its own font, a hand cursor, red while the
// pointer is over it and blue otherwise (also after a visit); a click opens the link through the
// desktop and leaves the dialog as it is. User-interface thread only.

#include <QColor>
#include <QLabel>

class CHyperLink : public QLabel {
    Q_OBJECT
public:
    explicit CHyperLink(const QString& text, QWidget* parent = nullptr);

    // The address a click opens; the maker's web page unless set otherwise.
    void SetLink(const QString& url) { m_url = url; }
    const QString& Link() const { return m_url; }

    bool IsHovering() const { return m_hover; }
    bool IsVisited() const { return m_visited; }
    QColor CurrentTextColor() const { return m_hover ? m_hoverColour : m_linkColour; }

protected:
    void changeEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void SetHover(bool hover);
    void ApplyLinkLook();

    QString m_url;
    bool m_hover = false;
    bool m_visited = false;
    bool m_applyingFont = false;
    const QColor m_hoverColour{255, 0, 0};
    const QColor m_linkColour{0, 0, 255};
};
