#pragma once
// How a finished check shows its verdicts and opens the e-mail report. Engine thread only.
// The desktop application shows its result dialog; the command-line client answers on its own.

#include <string>
#include <vector>

class IResultPresenter {
public:
    virtual ~IResultPresenter() = default;
    // Shows the verdict lines (upper case, as logged) modally; the caller's thread may go on
    // handling ticks and deliveries inside. Returns true for OK; sendReport receives the state of
    // the "Report result" box when OK was pressed.
    virtual bool ShowResult(const std::vector<std::string>& lines, bool& sendReport) = 0;
    // Hands a link (the mailto: report) to the desktop, unchanged.
    virtual void OpenLink(const std::string& url) = 0;
};
