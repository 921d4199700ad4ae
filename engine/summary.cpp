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

    LogFramedSummary("NAT Detect Result Summarize", m_resultLines);
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

namespace {
// The recipient as the file holds it, UTF-8, with each byte beyond ASCII percent-encoded: a URI
// carries only ASCII, and the desktop must not take the bytes for Latin-1 and encode them again.
// ASCII goes in as it is, as the line's own text does.
std::string EncodeRecipient(const std::string& recipient) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : recipient) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
            continue;
        }
        out += '%';
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
    return out;
}
}  // namespace

std::string CNatProber::BuildReportLinkFor(const std::vector<std::string>& lines) const {
    // Nothing is escaped but the line ends ("%0a") and the recipient's non-ASCII bytes: mail
    // programs take the lines as they are.
    std::string body;
    for (const std::string& line : lines) {
        body += line;
        body += "%0a";
    }
    return "mailto:" + EncodeRecipient(LoadReportRecipient(m_settingsPath)) +
           "?subject= Report&body=The Test result is:%0a%0a" + body + "%0a%0a%0a";
}
