#include "engine/responder_limit.h"

#include <algorithm>

#include "net/tick.h"

namespace {

// Elapsed milliseconds; a clock that went back counts as no time passed.
std::uint64_t Since(std::uint64_t now, std::uint64_t then) {
    return now >= then ? now - then : 0;
}

}  // namespace

CResponderLimit::CResponderLimit() {
    m_outstanding.reserve(kMaxOutstanding);
}

void CResponderLimit::SetClock(std::function<std::uint64_t()> nowMs) {
    m_clock = std::move(nowMs);
}

std::uint64_t CResponderLimit::Now() const {
    return m_clock ? m_clock() : SteadyMs();
}

void CResponderLimit::Expire(std::uint64_t now) {
    std::erase_if(m_outstanding,
                  [now](const Outstanding& o) { return Since(now, o.sentMs) >= kOutstandingMs; });
}

bool CResponderLimit::WithinRate(std::uint64_t now) const {
    if (m_answeredCount < kSearchesPerWindow)
        return true;
    // The ring is full: the oldest of the last few answers must have left the window.
    return Since(now, m_answeredMs[m_next]) >= kWindowMs;
}

CResponderLimit::Decision CResponderLimit::AdmitSearch(std::uint32_t searcherIp,
                                                       std::uint32_t serverIp,
                                                       std::uint16_t serverPort) {
    const std::uint64_t now = Now();
    Expire(now);
    if (!WithinRate(now)) {
        ++m_refusedForRate;
        return Decision::Refuse;
    }
    m_answeredMs[m_next] = now;
    m_next = (m_next + 1) % kSearchesPerWindow;
    m_answeredCount = std::min(m_answeredCount + 1, kSearchesPerWindow);

    const bool pending =
        std::any_of(m_outstanding.begin(), m_outstanding.end(),
                    [searcherIp](const Outstanding& o) { return o.searcherIp == searcherIp; });
    if (pending) {
        ++m_heldForOutstanding;
        return Decision::AnswerOnly;
    }
    if (m_outstanding.size() >= kMaxOutstanding) {
        ++m_refusedForRate;
        return Decision::Refuse;
    }
    m_outstanding.push_back({searcherIp, serverIp, serverPort, now});
    return Decision::Answer;
}

bool CResponderLimit::HasRoom() {
    const std::uint64_t now = Now();
    if (WithinRate(now))
        return true;
    ++m_refusedForRate;
    return false;
}

bool CResponderLimit::OnServerReply(std::uint32_t serverIp, std::uint16_t serverPort) {
    Expire(Now());
    const auto it = std::find_if(m_outstanding.begin(), m_outstanding.end(),
                                 [serverIp, serverPort](const Outstanding& o) {
                                     return o.serverIp == serverIp && o.serverPort == serverPort;
                                 });
    if (it == m_outstanding.end())
        return false;
    m_outstanding.erase(it);
    return true;
}
