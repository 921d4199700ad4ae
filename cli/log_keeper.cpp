#include "cli/log_keeper.h"

#include <cstring>

void CLogKeeper::ReplaceSelectionNoUndo(const char* text) {
    const std::size_t n = std::strlen(text);
    m_appended += n;
    if (m_keep) {
        m_text.append(text, n);
        if (m_text.size() > m_cap)
            Shrink();
    }
    if (m_onAppend)
        m_onAppend(std::string(text, n));
}

void CLogKeeper::Shrink() {
    if (m_checkStart > 0) {
        m_text.erase(0, m_checkStart);
        m_dropped += m_checkStart;
        m_checkStart = 0;
        if (m_text.size() <= m_cap)
            return;
    }
    // Down to half the cap, so the next shrink is half a cap of appends away: each byte is moved
    // a bounded number of times.
    const std::size_t quarter = m_cap / 4;
    // The head ends after its last line end, the tail starts after one; a text without line ends
    // (not what the log writes) is cut where it is.
    std::size_t headEnd = m_text.rfind('\n', quarter == 0 ? 0 : quarter - 1);
    headEnd = headEnd == std::string::npos ? quarter : headEnd + 1;
    const std::size_t tailFrom = m_text.size() - quarter;
    std::size_t tailStart = m_text.find('\n', tailFrom == 0 ? 0 : tailFrom - 1);
    tailStart = tailStart == std::string::npos ? tailFrom : tailStart + 1;
    if (tailStart <= headEnd)
        return;
    m_text.erase(headEnd, tailStart - headEnd);
    m_dropped += tailStart - headEnd;
}
