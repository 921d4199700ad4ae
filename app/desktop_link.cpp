#include "app/desktop_link.h"

#include <QDesktopServices>
#include <QUrl>

void OpenLinkOnDesktop(const QString& url) {
    // Tolerant parsing: the report link carries its text unescaped (blanks, colons, parentheses)
    // apart from the "%0a" line ends, which must reach the mail program as they are.
    QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}
