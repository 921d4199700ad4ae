#include "standard/portmap_probe.h"

#include <algorithm>

#include "core/log.h"
#include "core/sys_inet.h"
#include "net/address_text.h"

namespace {

Endpoint At(std::uint32_t addressNet, std::uint16_t port) {
    return Ipv4Endpoint{addressNet, port};
}

}  // namespace

void CPortMapProbe::Start(const PortMapProbeConfig& config, std::uint64_t nowMs) {
    Stop();
    m_config = config;
    m_outcome = PortMapDiscovery{};
    m_outcome.gatewayNet = config.gatewayNet;
    m_giveUpMs = nowMs + config.budgetMs;
    for (int p = 0; p < kParts; ++p) {
        Channel& c = m_channels[p];
        c = Channel{};
        c.socket = m_transport.Open();
        c.nextSendMs = nowMs;
        c.doubling = p == kNatPmp || p == kPcp;
        c.intervalMs = c.doubling ? config.firstRetryMs : config.ssdpRetryMs;
        if (c.socket < 0) {
            theLog.WriteTimedLine("Cannot open a UDP socket, port mapping check stop!");
            m_outcome.socketsFailed = true;
            CloseAll();
            return;
        }
    }
    m_running = true;
    const std::string gw = FormatIpv4(config.gatewayNet);
    theLog.WriteTimedLine("NAT-PMP: external address request to %s:%u...", gw.c_str(),
                          kPortMapServerPort);
    theLog.WriteTimedLine("PCP: ANNOUNCE to %s:%u...", gw.c_str(), kPortMapServerPort);
    theLog.WriteTimedLine("UPnP: SSDP search to %s:%u and to 239.255.255.250:%u...", gw.c_str(),
                          kSsdpPort, kSsdpPort);
    OnTimer(nowMs);
}

void CPortMapProbe::Send(Part part) {
    const Channel& c = m_channels[part];
    const std::uint32_t gw = m_config.gatewayNet;
    switch (part) {
        case kNatPmp: {
            const auto b = EncodeNatPmpExternalAddressRequest();
            m_transport.Send(c.socket, At(gw, kPortMapServerPort), b);
            break;
        }
        case kPcp: {
            const auto b = EncodePcpAnnounce(PcpIpv4(m_config.clientNet));
            m_transport.Send(c.socket, At(gw, kPortMapServerPort), b);
            break;
        }
        case kSsdpUnicast:
        case kSsdpMulticast: {
            const bool multicast = part == kSsdpMulticast;
            const std::string s = EncodeSsdpSearch(multicast, FormatIpv4(gw));
            const std::span<const std::uint8_t> b(reinterpret_cast<const std::uint8_t*>(s.data()),
                                                  s.size());
            m_transport.Send(c.socket, At(multicast ? kSsdpMulticastNet : gw, kSsdpPort), b);
            break;
        }
        case kParts:
            break;
    }
}

void CPortMapProbe::OnTimer(std::uint64_t nowMs) {
    if (!m_running)
        return;
    if (nowMs >= m_giveUpMs) {
        const double s = static_cast<double>(m_config.budgetMs) / 1000.0;
        if (!m_channels[kNatPmp].done)
            theLog.WriteTimedLine("NAT-PMP: no answer within %.1f s", s);
        if (!m_channels[kPcp].done)
            theLog.WriteTimedLine("PCP: no answer within %.1f s", s);
        const bool ssdpUnanswered = !m_outcome.ssdpUnicast && !m_outcome.ssdpMulticast;
        if (ssdpUnanswered)
            theLog.WriteTimedLine("UPnP: no answer to either search within %.1f s", s);
        else if (!m_outcome.ssdpUnicast)
            theLog.WriteTimedLine("UPnP: the gateway answered only the multicast search");
        else if (!m_outcome.ssdpMulticast)
            theLog.WriteTimedLine("UPnP: the gateway answered only the unicast search");
        for (int p = 0; p < kParts; ++p)
            m_channels[p].done = true;
        FinishIfDone();
        return;
    }
    for (int p = 0; p < kParts; ++p) {
        Channel& c = m_channels[p];
        if (c.done || nowMs < c.nextSendMs)
            continue;
        Send(static_cast<Part>(p));
        c.nextSendMs = nowMs + c.intervalMs;
        if (c.doubling)
            c.intervalMs *= 2;
    }
}

std::optional<std::uint64_t> CPortMapProbe::NextDeadline() const {
    if (!m_running)
        return std::nullopt;
    std::uint64_t next = m_giveUpMs;
    for (const Channel& c : m_channels) {
        if (!c.done)
            next = std::min(next, c.nextSendMs);
    }
    return next;
}

void CPortMapProbe::OnDatagram(int socketId, const Endpoint& from,
                               std::span<const std::uint8_t> bytes) {
    if (!m_running)
        return;
    for (int p = 0; p < kParts; ++p) {
        if (m_channels[p].socket != socketId || m_channels[p].done)
            continue;
        if (p == kNatPmp)
            OnNatPmp(from, bytes);
        else if (p == kPcp)
            OnPcp(from, bytes);
        else
            OnSsdp(static_cast<Part>(p), from, bytes);
        FinishIfDone();
        return;
    }
}

void CPortMapProbe::OnNatPmp(const Endpoint& from, std::span<const std::uint8_t> bytes) {
    if (from != At(m_config.gatewayNet, kPortMapServerPort))
        return;  // RFC 6886 section 3.2: only the gateway's answer counts
    const std::optional<NatPmpResponse> r = ParseNatPmpResponse(bytes);
    if (!r || r->opcode != kNatPmpExternalAddress)
        return;
    m_outcome.natPmpPresent = true;
    m_outcome.natPmpResult = r->resultCode;
    if (r->resultCode == kNatPmpSuccess) {
        m_outcome.natPmpExternalNet = r->externalAddressNet;
        theLog.WriteTimedLine("NAT-PMP: the gateway answered, external address %s",
                              FormatIpv4(r->externalAddressNet).c_str());
    } else {
        theLog.WriteTimedLine("NAT-PMP: the gateway answered %s (result code %u)",
                              NatPmpResultName(r->resultCode), r->resultCode);
    }
    EndPart(kNatPmp);
}

void CPortMapProbe::OnPcp(const Endpoint& from, std::span<const std::uint8_t> bytes) {
    if (from != At(m_config.gatewayNet, kPortMapServerPort))
        return;
    PcpResponse r;
    switch (ParsePcpResponse(bytes, r)) {
        case PcpAnswer::NotPcp:
            return;
        case PcpAnswer::NatPmpOnly:
            m_outcome.pcpNatPmpOnly = true;
            theLog.WriteTimedLine(
                "PCP: the gateway answered with NAT-PMP's UNSUPPORTED VERSION: it "
                "speaks NAT-PMP only");
            break;
        case PcpAnswer::Response:
            if (r.opcode != kPcpAnnounce)
                return;
            m_outcome.pcpPresent = true;
            m_outcome.pcpResult = r.resultCode;
            theLog.WriteTimedLine("PCP: the gateway answered %s (result code %u)",
                                  PcpResultName(r.resultCode), r.resultCode);
            break;
    }
    EndPart(kPcp);
}

void CPortMapProbe::OnSsdp(Part part, const Endpoint& from, std::span<const std::uint8_t> bytes) {
    const std::optional<SsdpReply> r = ParseSsdpReply(bytes);
    if (!r)
        return;
    const std::optional<std::uint32_t> host = UrlHostIpv4(r->location);
    if (from.Ipv4Address() != m_config.gatewayNet || !host || *host != m_config.gatewayNet) {
        theLog.WriteTimedLine("UPnP: a reply from %s names %s; only the gateway's own is used",
                              FormatEndpoint(from).c_str(), r->location.c_str());
        return;
    }
    const bool multicast = part == kSsdpMulticast;
    (multicast ? m_outcome.ssdpMulticast : m_outcome.ssdpUnicast) = true;
    theLog.WriteTimedLine("UPnP: %s answered the %s search: %s", FormatEndpoint(from).c_str(),
                          multicast ? "multicast" : "unicast", r->location.c_str());
    if (!m_outcome.ssdp) {
        m_outcome.ssdp = r;
        m_outcome.ssdpFrom = from;
    }
    EndPart(part);
}

void CPortMapProbe::EndPart(Part part) {
    m_channels[part].done = true;
}

void CPortMapProbe::FinishIfDone() {
    if (!std::all_of(std::begin(m_channels), std::end(m_channels),
                     [](const Channel& c) { return c.done; })) {
        return;
    }
    m_outcome.finished = true;
    CloseAll();
}

void CPortMapProbe::Stop() {
    CloseAll();
}

void CPortMapProbe::CloseAll() {
    for (Channel& c : m_channels) {
        if (c.socket >= 0)
            m_transport.Close(c.socket);
        c.socket = -1;
    }
    m_running = false;
}
