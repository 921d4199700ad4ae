// The end of every check: the framed summary in the log, the result dialog and the e-mail report.

#include "core/log.h"
#include "core/settings.h"
#include "engine/nat_prober.h"
#include "engine/prober_util.h"
#include "engine/result_presenter.h"

using namespace prober;

void CNatProber::SummarizeResults() {
    // Idle first: the presenter may run a nested loop in which ticks and deliveries are handled,
    // and from here on they must find no check running.
    m_step = StepIdle;

    theLog.WriteLine("");
    theLog.WriteLine("%s", kAsteriskRow);
    theLog.WriteLine("        NAT Detect Result Summarize");
    theLog.WriteLine("");
    for (const std::string& line : m_resultLines)
        theLog.WriteLine("%s", line.c_str());
    theLog.WriteLine("");
    theLog.WriteLine("%s", kAsteriskRow);
    theLog.WriteLine("");
    theLog.WriteLine("Press F5 to start...");

    // The presenter's nested loop may start the next check, which empties m_resultLines; the
    // dialog and the report keep the lines of the check that ended here.
    const std::vector<std::string> lines = m_resultLines;
    IResultPresenter* presenter = m_presenter;
    if (presenter == nullptr)
        return;  // no dialog counts as Cancel
    bool sendReport = false;
    if (!presenter->ShowResult(lines, sendReport) || !sendReport)
        return;
    presenter->OpenLink(BuildReportLinkFor(lines));
}

std::string CNatProber::BuildReportLink() const {
    return BuildReportLinkFor(m_resultLines);
}

std::string CNatProber::BuildReportLinkFor(const std::vector<std::string>& lines) const {
    // Nothing is escaped but the line ends ("%0a"): mail programs take the lines as they are.
    std::string body;
    for (const std::string& line : lines) {
        body += line;
        body += "%0a";
    }
    return "mailto:" + LoadReportRecipient(m_settingsPath) +
           "?subject= Report&body=The Test result is:%0a%0a" + body + "%0a%0a%0a";
}
