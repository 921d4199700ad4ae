#include "standard/pcp6_pinhole.h"

#include <algorithm>
#include <vector>

#include "core/log.h"

namespace {

constexpr const char* kWho = "PCP over IPv6";

}  // namespace

void CPcp6Pinhole::Start(const Pcp6Config& config, std::uint64_t nowMs) {
    m_config = config;
    m_outcome = Pcp6Outcome{};
    theLog.WriteTimedLine("%s: ANNOUNCE to [%s]:%u (this computer: %s)...", kWho,
                          FormatIpv6(config.gateway).c_str(), kPortMapServerPort,
                          FormatIpv6(config.client).c_str());
    Enter(Phase::Announce, nowMs);
}

PcpMapRequest CPcp6Pinhole::MapRequest(std::uint32_t lifetimeSeconds) const {
    PcpMapRequest r;
    r.clientAddress = m_config.client;
    r.lifetimeSeconds = lifetimeSeconds;
    r.nonce = m_config.nonce;
    r.internalPort = m_config.internalPort;
    // A pinhole keeps the port; the suggested external address stays :: (no preference).
    r.suggestedExternalPort = lifetimeSeconds == 0 ? 0 : m_config.internalPort;
    return r;
}

void CPcp6Pinhole::Enter(Phase phase, std::uint64_t nowMs) {
    m_phase = phase;
    if (phase == Phase::Idle)
        return;
    m_intervalMs = m_config.firstRetryMs;
    m_nextSendMs = nowMs;
    m_giveUpMs = nowMs + (phase == Phase::Delete ? m_config.deleteBudgetMs : m_config.budgetMs);
    if (phase == Phase::Map) {
        // Written down before the request goes: an answer lost on the way may still mean a
        // pinhole.
        m_outcome.mapSent = true;
        theLog.WriteTimedLine("%s: MAP of UDP port %u for at most %u s...", kWho,
                              m_config.internalPort, m_config.lifetimeSeconds);
    }
    OnTimer(nowMs);
}

void CPcp6Pinhole::Send() {
    const Endpoint server = Endpoint::Ipv6(m_config.gateway, kPortMapServerPort);
    std::vector<std::uint8_t> bytes;
    if (m_phase == Phase::Announce)
        bytes = EncodePcpAnnounce(m_config.client);
    else
        bytes = EncodePcpMap(MapRequest(m_phase == Phase::Map ? m_config.lifetimeSeconds : 0));
    m_transport.Send(m_config.socketId, server, bytes);
}

void CPcp6Pinhole::OnTimer(std::uint64_t nowMs) {
    if (m_phase == Phase::Idle)
        return;
    if (nowMs >= m_giveUpMs) {
        GiveUp(nowMs);
        return;
    }
    if (nowMs >= m_nextSendMs) {
        Send();
        m_nextSendMs = nowMs + m_intervalMs;
        m_intervalMs *= 2;
    }
}

void CPcp6Pinhole::GiveUp(std::uint64_t nowMs) {
    const Phase phase = m_phase;
    const double s =
        static_cast<double>(phase == Phase::Delete ? m_config.deleteBudgetMs : m_config.budgetMs) /
        1000.0;
    if (phase == Phase::Announce) {
        theLog.WriteTimedLine("%s: no answer within %.1f s", kWho, s);
        Enter(Phase::Idle, nowMs);
    } else if (phase == Phase::Map) {
        theLog.WriteTimedLine("%s: no answer to the MAP request within %.1f s", kWho, s);
        Enter(Phase::Delete, nowMs);
    } else {
        m_outcome.deleted = false;
        Enter(Phase::Idle, nowMs);
    }
}

std::optional<std::uint64_t> CPcp6Pinhole::NextDeadline() const {
    if (m_phase == Phase::Idle)
        return std::nullopt;
    return std::min(m_nextSendMs, m_giveUpMs);
}

void CPcp6Pinhole::Abort(std::uint64_t nowMs) {
    if (m_phase == Phase::Announce)
        Enter(Phase::Idle, nowMs);
    else if (m_phase == Phase::Map)
        Enter(Phase::Delete, nowMs);
}

void CPcp6Pinhole::OnDatagram(int socketId, const Endpoint& from,
                              std::span<const std::uint8_t> bytes, std::uint64_t now) {
    if (m_phase == Phase::Idle || socketId != m_config.socketId ||
        from != Endpoint::Ipv6(m_config.gateway, kPortMapServerPort)) {
        return;
    }
    PcpResponse r;
    const PcpAnswer answer = ParsePcpResponse(bytes, r);
    if (m_phase == Phase::Announce) {
        if (answer == PcpAnswer::NatPmpOnly) {
            m_outcome.natPmpOnly = true;
            theLog.WriteTimedLine("%s: the router answered with NAT-PMP's UNSUPPORTED VERSION",
                                  kWho);
            Enter(Phase::Idle, now);
            return;
        }
        if (answer != PcpAnswer::Response || r.opcode != kPcpAnnounce)
            return;
        m_outcome.present = true;
        m_outcome.announceResult = r.resultCode;
        theLog.WriteTimedLine("%s: the router answered %s (result code %u)", kWho,
                              PcpResultName(r.resultCode), r.resultCode);
        Enter(m_config.map && r.resultCode == kPcpSuccess ? Phase::Map : Phase::Idle, now);
        return;
    }
    const bool deleting = m_phase == Phase::Delete;
    if (answer != PcpAnswer::Response ||
        !PcpAnswersMap(MapRequest(deleting ? 0 : m_config.lifetimeSeconds), r)) {
        return;  // a wrong nonce is someone else's answer
    }
    if (deleting) {
        m_outcome.deleted = true;
        Enter(Phase::Idle, now);
        return;
    }
    m_outcome.mapResult = r.resultCode;
    if (r.resultCode != kPcpSuccess) {
        theLog.WriteTimedLine("%s: pinhole refused: %s (result code %u)", kWho,
                              PcpResultName(r.resultCode), r.resultCode);
    } else {
        m_outcome.external = Ipv6Endpoint{r.externalAddress, r.externalPort};
        m_outcome.lifetimeSeconds = r.lifetimeSeconds;
        theLog.WriteTimedLine("%s: pinhole %s open for %u s", kWho,
                              FormatIpv6Endpoint(*m_outcome.external).c_str(), r.lifetimeSeconds);
    }
    // Deleted at once: nothing here tests what comes in through it, and a refused request may
    // still have left state behind at the router.
    Enter(Phase::Delete, now);
}
