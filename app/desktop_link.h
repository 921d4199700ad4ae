#pragma once
// Hands a link (a web page, a mailto: report) to the desktop. The one place the program asks the
// desktop to open something, so a port replaces this file only. User-interface thread only.

#include <QString>

// Opens url with the desktop's handler for its scheme; the outcome is not reported, as the
// caller has nothing to do about a missing browser or mail program.
void OpenLinkOnDesktop(const QString& url);
