#pragma once
// The result dialog of the command-line client, which has no dialog: with --report it answers as
// a user who presses OK with "Report result" ticked and prints the mailto: link it is given;
// without, it answers as Cancel, so no link is built. Engine (main) thread only.

#include <functional>
#include <string>
#include <vector>

#include "engine/result_presenter.h"

class CCliPresenter : public IResultPresenter {
public:
    CCliPresenter(bool report, std::function<void(const std::string&)> printLine)
        : m_report(report), m_printLine(std::move(printLine)) {}

    bool ShowResult(const std::vector<std::string>& lines, bool& sendReport) override;
    void OpenLink(const std::string& url) override;

private:
    const bool m_report;
    std::function<void(const std::string&)> m_printLine;
};
