#include "cli/cli_presenter.h"

bool CCliPresenter::ShowResult(const std::vector<std::string>& /*lines*/, bool& sendReport) {
    // The verdict lines are already on standard output as part of the log's summary block.
    sendReport = m_report;
    return m_report;
}

void CCliPresenter::OpenLink(const std::string& url) {
    if (m_printLine)
        m_printLine(url);
}
