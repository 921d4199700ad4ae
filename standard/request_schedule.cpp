#include "standard/request_schedule.h"

#include <algorithm>

ScheduleRule ScheduleRule::Rfc5389(std::uint64_t rtoMs, int rc, int rm, std::uint64_t capMs) {
    return {.intervalMs = rtoMs,
            .doubling = true,
            .transmissions = rc,
            .lastWaitMs = rtoMs * static_cast<std::uint64_t>(rm),
            .capMs = capMs};
}

ScheduleRule ScheduleRule::Fixed(std::uint64_t intervalMs, int transmissions, std::uint64_t capMs) {
    return {.intervalMs = intervalMs,
            .transmissions = transmissions,
            .lastWaitMs = intervalMs,
            .capMs = capMs};
}

void RoundTripEstimate::Add(const RoundTrip& rt) {
    if (rt.sampleMs)
        sampleMs = std::min(sampleMs.value_or(*rt.sampleMs), *rt.sampleMs);
    boundMs = std::min(boundMs.value_or(rt.boundMs), rt.boundMs);
}

std::uint64_t CRequestSchedule::WaitAfter(int k) const {
    if (k >= m_rule.transmissions - 1)
        return m_rule.lastWaitMs;
    if (!m_rule.doubling)
        return m_rule.intervalMs;
    // 2^k without overflow: past 2^40 the cap has long ended the request anyway.
    return m_rule.intervalMs << std::min(k, 40);
}

void CRequestSchedule::Start(const ScheduleRule& rule, std::uint64_t nowMs) {
    m_rule = rule;
    m_rule.transmissions = std::max(rule.transmissions, 1);
    m_rule.capMs = std::max(rule.capMs, rule.minGiveUpMs);
    m_waiting = true;
    m_sent = 1;
    m_firstMs = nowMs;
    m_sentAt.assign(1, nowMs);
    m_nextMs = nowMs + WaitAfter(0);
}

std::uint64_t CRequestSchedule::GiveUpAt() const {
    const std::uint64_t capAt = m_firstMs + m_rule.capMs;
    if (m_sent < m_rule.transmissions) {
        // The tries still to come, each after its wait, then the wait after the last.
        std::uint64_t at = m_nextMs;
        for (int k = m_sent; k < m_rule.transmissions && at < capAt; ++k)
            at += WaitAfter(k);
        return std::min(std::max(at, m_firstMs + m_rule.minGiveUpMs), capAt);
    }
    return std::min(std::max(m_nextMs, m_firstMs + m_rule.minGiveUpMs), capAt);
}

std::uint64_t GiveUpAfter(const ScheduleRule& rule) {
    CRequestSchedule probe;
    probe.Start(rule, 0);
    return probe.GiveUpAt();
}

std::optional<std::uint64_t> CRequestSchedule::NextDeadline() const {
    if (!m_waiting)
        return std::nullopt;
    const std::uint64_t capAt = m_firstMs + m_rule.capMs;
    if (m_sent < m_rule.transmissions)
        return std::min(m_nextMs, capAt);
    return GiveUpAt();
}

CRequestSchedule::Step CRequestSchedule::Due(std::uint64_t nowMs) {
    if (!m_waiting)
        return Step::None;
    if (nowMs >= m_firstMs + m_rule.capMs ||
        (m_sent >= m_rule.transmissions && nowMs >= GiveUpAt())) {
        m_waiting = false;
        return Step::GiveUp;
    }
    if (m_sent < m_rule.transmissions && nowMs >= m_nextMs) {
        // The next wait counts from this transmission, however late it is.
        m_nextMs = nowMs + WaitAfter(m_sent);
        ++m_sent;
        m_sentAt.push_back(nowMs);
        return Step::Send;
    }
    return Step::None;
}

RoundTrip CRequestSchedule::Answered(std::uint64_t nowMs) {
    m_waiting = false;
    RoundTrip rt;
    rt.boundMs = nowMs >= m_firstMs ? nowMs - m_firstMs : 0;
    if (m_sent == 1)
        rt.sampleMs = rt.boundMs;
    return rt;
}

RoundTrip CRequestSchedule::AnsweredBy(std::uint64_t nowMs, int k) {
    if (k < 0 || static_cast<std::size_t>(k) >= m_sentAt.size())
        return Answered(nowMs);
    m_waiting = false;
    const std::uint64_t at = m_sentAt[static_cast<std::size_t>(k)];
    const std::uint64_t rtt = nowMs >= at ? nowMs - at : 0;
    return {rtt, rtt};
}

ScheduleRule QuickRule(const RoundTripEstimate& rtt, std::uint64_t backedOffMs,
                       const QuickPolicy& policy) {
    const int tries = std::max(policy.transmissions, 1);
    std::uint64_t interval =
        rtt.sampleMs ? std::max(policy.factor * *rtt.sampleMs, policy.minIntervalMs) : backedOffMs;
    if (policy.fitTriesInCap)
        interval = std::min(
            interval, std::max<std::uint64_t>(policy.capMs / static_cast<std::uint64_t>(tries), 1));
    ScheduleRule rule = ScheduleRule::Fixed(interval, tries, policy.capMs);
    // An answer may take up to the bound: one lost try and a slow answer still fit.
    rule.minGiveUpMs = interval + 2 * rtt.boundMs.value_or(0);
    rule.capMs = std::max(rule.capMs, rule.minGiveUpMs);
    return rule;
}
