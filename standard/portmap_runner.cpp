#include "standard/portmap_runner.h"

#include <algorithm>

#include "core/log.h"
#include "core/verdicts.h"
#include "net/address_text.h"
#include "net/messages.h"
#include "net/stun_message.h"
#include "net/tick.h"
#include "net/udp6_socket.h"
#include "standard/pcp6_pinhole.h"
#include "standard/stun_check.h"

namespace {

enum { kUpnp, kNatPmp, kPcp, kProtocols };
const char* const kNames[] = {"UPnP", "NAT-PMP", "PCP"};

// Deleting a mapping gets a budget of its own, short: it runs on every way out, a stop
// request included, and a gateway that answered a moment ago answers at once.
constexpr std::uint64_t kDeleteBudgetMs = 1000;
constexpr std::uint64_t kFirstRetryMs = 250;

// The summary's word on PCP over IPv6: NO, YES, YES with the refusal, or the pinhole opened.
std::string Pcp6Text(const PortMapPcp6& p) {
    if (!p.present)
        return "NO";
    if (p.pinhole)
        return "YES, PINHOLE OPENED";
    if (p.resultCode && *p.resultCode != 0)
        return "YES, " + p.result;
    return "YES";
}

Endpoint At(std::uint32_t addressNet, std::uint16_t port) {
    return Ipv4Endpoint{addressNet, port};
}

std::span<const std::uint8_t> Bytes(const std::vector<std::uint8_t>& v) {
    return v;
}

PcpNonce RandomNonce() {
    const auto id = RandomStunTransactionId();
    PcpNonce n{};
    std::copy(id.begin(), id.end(), n.begin());
    return n;
}

// The STUN Binding response to id, if bytes are one; its mapped address (XOR first).
std::optional<StunMessage> BindingResponse(std::span<const std::uint8_t> bytes,
                                           const std::array<std::uint8_t, 12>& id) {
    StunMessage m;
    if (ParseStun(bytes.data(), bytes.size(), m) != StunParseError::None || m.transactionId != id ||
        m.method != kStunMethodBinding || m.cls == StunClass::Request) {
        return std::nullopt;
    }
    return m;
}

std::optional<std::uint32_t> MappedOf(const StunMessage& m) {
    if (m.xorMapped.IsIpv4())
        return m.xorMapped.address;
    if (m.mapped.IsIpv4())
        return m.mapped.address;
    return std::nullopt;
}

// PCP over IPv6's one socket as the pinhole machine's transport: it only sends.
class CUdp6Transport : public IStunTransport {
public:
    explicit CUdp6Transport(CUdp6Socket& s) : m_s(s) {}
    int Open() override { return -1; }
    bool Send(int /*socketId*/, const Endpoint& to, std::span<const std::uint8_t> b) override {
        return !to.IsIpv4() && m_s.SendTo(Ipv6Endpoint{to.address, to.port}, b);
    }
    void Close(int /*socketId*/) override {}

private:
    CUdp6Socket& m_s;
};

}  // namespace

std::string PortMapProtocolsText() {
    return UpnpAvailable() ? "NAT-PMP, PCP, UPnP" : "NAT-PMP, PCP (this build has no UPnP)";
}

CPortMapRunner::CPortMapRunner()
    : m_findGateway(FindDefaultGateway),
      m_findGateway6(FindDefaultGateway6),
      m_upnp(MakeUpnpClient()),
      m_upnpAvailable(UpnpAvailable()) {}

void CPortMapRunner::SetUpnpClient(std::unique_ptr<IUpnpClient> c, bool available) {
    m_upnp = std::move(c);
    m_upnpAvailable = available;
}

std::uint64_t CPortMapRunner::NowMs() const {
    return SteadyMs();
}

void CPortMapRunner::RequestStop() {
    m_stop = true;
    m_sockets.Wake();
}

bool CPortMapRunner::Exchange(int socketId, const Endpoint& to, std::span<const std::uint8_t> bytes,
                              std::uint64_t budgetMs, const Accept& accept, bool ignoreStop) {
    const std::uint64_t start = NowMs();
    std::uint64_t nextSend = start, interval = kFirstRetryMs;
    bool done = false;
    while (!done && (ignoreStop || !Stopped())) {
        const std::uint64_t now = NowMs();
        if (now >= start + budgetMs)
            break;
        if (now >= nextSend) {
            m_sockets.Send(socketId, to, bytes);
            nextSend = now + interval;
            interval *= 2;
        }
        const std::uint64_t until = std::min(nextSend, start + budgetMs);
        m_sockets.Wait(static_cast<int>(until > now ? until - now : 0),
                       [&](int id, const Endpoint& from, std::span<const std::uint8_t> b) {
                           if (!done && accept(id, from, b))
                               done = true;
                       });
    }
    return done;
}

PortMapOutcome CPortMapRunner::Run(const PortMapRunConfig& config) {
    PortMapOutcome o;
    o.upnpAvailable = m_upnpAvailable;
    theLog.WriteLine("");
    theLog.WriteTimedLine("Start port mapping check (UPnP IGD, NAT-PMP, PCP)...");
    theLog.WriteTimedLine("This build can ask: %s", m_upnpAvailable
                                                        ? "NAT-PMP, PCP, UPnP"
                                                        : "NAT-PMP, PCP (this build has no UPnP)");
    if (Stopped()) {
        o.interrupted = true;
        return o;
    }
    const std::optional<DefaultGateway> gw = m_findGateway ? m_findGateway() : std::nullopt;
    if (!gw) {
        theLog.WriteTimedLine("No default gateway: there is no router to ask");
    } else {
        m_gateway = *gw;
        o.gatewayNet = gw->gatewayNet;
        theLog.WriteTimedLine("Default gateway: %s (this computer: %s)",
                              FormatIpv4(gw->gatewayNet).c_str(), FormatIpv4(gw->localNet).c_str());
        Discover(config, o);
    }
    std::optional<std::uint32_t> mapped = config.mapped;
    if (!o.socketsFailed && !Stopped() && config.server) {
        if (config.verify && gw && (o.upnp.present || o.natPmp.present || o.pcp.present)) {
            Verify(config, o);  // learns the mapped address on the way
        }
        if (!o.layers.mapped && !Stopped() && !mapped)
            mapped = AskMapped(*config.server, config.budgetMs);
    }
    DeleteAll(o);
    if (!o.socketsFailed && !Stopped())
        AskPcp6(config, o);
    if (o.layers.mapped)
        mapped = o.layers.mapped;
    if (Stopped()) {
        o.interrupted = true;
        return o;
    }
    std::optional<std::uint32_t> external;
    for (const PortMapProtocol* p : {&o.upnp, &o.natPmp, &o.pcp}) {
        if (!external && p->externalNet && *p->externalNet != 0)
            external = p->externalNet;
    }
    std::vector<std::uint32_t> hops;
    if (config.hops && config.server && !Stopped())
        hops = TraceHops(*config.server);
    o.layers = JudgeNatLayers(external, mapped, hops);
    for (const std::string& r : o.layers.reasons)
        theLog.WriteTimedLine("NAT layers: %s", r.c_str());
    o.finished = !o.socketsFailed;
    SummarizePortMap(o);
    return o;
}

std::vector<std::uint32_t> CPortMapRunner::TraceHops(const Endpoint& server) {
    constexpr int kMaxHops = 4;      // the user's router, a carrier's NAT, and a little more
    constexpr int kHopWaitMs = 500;  // per TTL; at most 2 s in all
    if (const char* missing = PathHopsMissing()) {
        theLog.WriteTimedLine("Routers on the path: this build cannot name them (%s)", missing);
        return {};
    }
    theLog.WriteTimedLine("Routers on the path to %s (TTL 1 to %d)...",
                          FormatAddress(server).c_str(), kMaxHops);
    std::vector<std::uint32_t> hops;
    const auto found =
        TracePathHops(server.Ipv4Address(), server.port, kMaxHops, kHopWaitMs, &m_stop);
    for (std::size_t i = 0; i < found.size(); ++i) {
        hops.push_back(found[i].value_or(0));
        if (found[i]) {
            theLog.WriteTimedLine("    %zu: %s, %s", i + 1, FormatIpv4(*found[i]).c_str(),
                                  ClassifyIpv4(*found[i]).name);
        } else {
            theLog.WriteTimedLine("    %zu: no answer", i + 1);
        }
    }
    return hops;
}

void CPortMapRunner::Discover(const PortMapRunConfig& config, PortMapOutcome& o) {
    CStunSocketsTransport transport(m_sockets);
    CPortMapProbe probe(transport);
    PortMapProbeConfig pc;
    pc.gatewayNet = m_gateway.gatewayNet;
    pc.clientNet = m_gateway.localNet;
    pc.budgetMs = config.budgetMs;
    probe.Start(pc, NowMs());
    while (probe.Running() && !Stopped()) {
        const std::uint64_t now = NowMs();
        const std::uint64_t deadline = probe.NextDeadline().value_or(now);
        if (now >= deadline) {
            probe.OnTimer(now);
            continue;
        }
        m_sockets.Wait(static_cast<int>(std::min<std::uint64_t>(deadline - now, 100)),
                       [&probe](int id, const Endpoint& from, std::span<const std::uint8_t> b) {
                           probe.OnDatagram(id, from, b);
                       });
    }
    probe.Stop();
    const PortMapDiscovery& d = probe.Outcome();
    o.socketsFailed = d.socketsFailed;
    o.natPmp.present = d.natPmpPresent;
    if (d.natPmpResult) {
        o.natPmp.resultCode = *d.natPmpResult;
        o.natPmp.result = NatPmpResultName(*d.natPmpResult);
    }
    o.natPmp.externalNet = d.natPmpExternalNet;
    o.pcp.present = d.pcpPresent;
    if (d.pcpResult) {
        o.pcp.resultCode = *d.pcpResult;
        o.pcp.result = PcpResultName(*d.pcpResult);
    }
    o.pcpNatPmpOnly = d.pcpNatPmpOnly;
    o.ssdpUnicast = d.ssdpUnicast;
    o.ssdpMulticast = d.ssdpMulticast;
    if (d.ssdp && !Stopped()) {
        if (m_upnp)
            AskUpnp(d.ssdp->location, config.budgetMs, o);
        else
            o.upnp.error = "this build has no UPnP";
    }
}

void CPortMapRunner::AskUpnp(const std::string& location, std::uint64_t budgetMs,
                             PortMapOutcome& o) {
    theLog.WriteTimedLine("UPnP: reading the description %s...", location.c_str());
    const UpnpStatus s = m_upnp->Describe(location, budgetMs);
    o.upnp.present = s.described;
    o.upnp.connected = s.connected;
    o.upnp.externalNet = s.externalNet;
    o.upnp.error = s.error;
    if (!s.described) {
        theLog.WriteTimedLine("UPnP: %s", s.error.c_str());
        return;
    }
    theLog.WriteTimedLine("UPnP: WAN connection service %s, status %s", s.serviceType.c_str(),
                          s.status.empty() ? "unknown" : s.status.c_str());
    if (s.externalNet)
        theLog.WriteTimedLine("UPnP: external address %s", FormatIpv4(*s.externalNet).c_str());
    if (!s.error.empty())
        theLog.WriteTimedLine("UPnP: %s", s.error.c_str());
}

std::optional<std::uint32_t> CPortMapRunner::AskMapped(const Endpoint& server,
                                                       std::uint64_t budgetMs) {
    const int s = m_sockets.Open();
    if (s < 0)
        return std::nullopt;
    StunMessage req;
    req.transactionId = RandomStunTransactionId();
    std::uint8_t buf[64];
    const std::size_t len = EncodeStun(req, buf, sizeof buf);
    std::optional<std::uint32_t> mapped;
    theLog.WriteTimedLine("Binding request to %s for the mapped address...",
                          FormatEndpoint(server).c_str());
    Exchange(s, server, {buf, len}, budgetMs,
             [&](int id, const Endpoint& from, std::span<const std::uint8_t> b) {
                 if (id != s || from != server)
                     return false;
                 const auto m = BindingResponse(b, req.transactionId);
                 if (m && m->cls == StunClass::Success)
                     mapped = MappedOf(*m);
                 return m.has_value();
             });
    m_sockets.Close(s);
    if (mapped)
        theLog.WriteTimedLine("Mapped address: %s", FormatIpv4(*mapped).c_str());
    else
        theLog.WriteTimedLine("The server gave no mapped address");
    return mapped;
}

void CPortMapRunner::Verify(const PortMapRunConfig& config, PortMapOutcome& o) {
    const std::optional<std::uint32_t> mapped = AskMapped(*config.server, config.budgetMs);
    o.layers.mapped = mapped;
    PortMapProtocol* protocols[kProtocols] = {&o.upnp, &o.natPmp, &o.pcp};
    for (int p = 0; p < kProtocols && !Stopped(); ++p) {
        PortMapProtocol& r = *protocols[p];
        // NAT-PMP and PCP answered the probe; only a success can make a mapping.
        if (!r.present || (p != kUpnp && r.resultCode != 0))
            continue;
        if (!mapped) {
            r.inboundNote = "the server did not answer";
            continue;
        }
        const int socket = m_sockets.Open();
        if (socket < 0)
            break;
        const std::uint16_t port = m_sockets.LocalPort(socket);
        theLog.WriteLine("");
        theLog.WriteTimedLine("%s: mapping UDP port %u for at most %u s...", kNames[p], port,
                              config.leaseSeconds);
        const std::optional<std::uint16_t> external = MapPort(p, port, config, o);
        if (external && !Stopped()) {
            r.inbound = Inbound(*config.server, socket, *external, config.budgetMs, r.inboundNote);
            if (r.inbound) {
                theLog.WriteTimedLine("%s: inbound through the mapping: %s", kNames[p],
                                      *r.inbound ? "a packet came in" : "nothing came in");
            } else {
                theLog.WriteTimedLine("%s: inbound not tried: %s", kNames[p],
                                      r.inboundNote.c_str());
            }
        }
        m_sockets.Close(socket);
        DeleteAll(o);
    }
}

std::optional<std::uint16_t> CPortMapRunner::MapPort(int p, std::uint16_t port,
                                                     const PortMapRunConfig& config,
                                                     PortMapOutcome& o) {
    const Endpoint server = At(m_gateway.gatewayNet, kPortMapServerPort);
    // Written down before the request goes: an answer lost on the way may still mean a mapping.
    Mapping m{p, port, port, RandomNonce()};
    m_made.push_back(m);
    if (p == kUpnp) {
        const std::string error =
            m_upnp->AddUdpMapping(port, port, m_gateway.localNet, config.leaseSeconds);
        if (!error.empty()) {
            o.upnp.error = "AddPortMapping: " + error;
            theLog.WriteTimedLine("UPnP: AddPortMapping refused: %s", error.c_str());
            return std::nullopt;
        }
        theLog.WriteTimedLine("UPnP: mapped %s:%u",
                              o.upnp.externalNet ? FormatIpv4(*o.upnp.externalNet).c_str() : "?",
                              port);
        return port;
    }
    const int ctl = m_sockets.Open();
    if (ctl < 0)
        return std::nullopt;
    std::optional<std::uint16_t> external;
    PortMapProtocol& r = p == kNatPmp ? o.natPmp : o.pcp;
    if (p == kNatPmp) {
        const auto req = EncodeNatPmpMapUdpRequest(port, port, config.leaseSeconds);
        Exchange(ctl, server, req, config.budgetMs,
                 [&](int id, const Endpoint& from, std::span<const std::uint8_t> b) {
                     const auto a = ParseNatPmpResponse(b);
                     if (id != ctl || from != server || !a || a->opcode != kNatPmpMapUdp)
                         return false;
                     if (a->resultCode == kNatPmpSuccess && a->internalPort != port)
                         return false;
                     r.resultCode = a->resultCode;
                     r.result = NatPmpResultName(a->resultCode);
                     if (a->resultCode == kNatPmpSuccess)
                         external = a->externalPort;
                     return true;
                 });
    } else {
        PcpMapRequest req;
        req.clientAddress = PcpIpv4(m_gateway.localNet);
        req.lifetimeSeconds = config.leaseSeconds;
        req.nonce = m.nonce;
        req.internalPort = port;
        req.suggestedExternalPort = port;
        // No preference, said in the mapping's family: ::ffff:0.0.0.0 (RFC 6887 section 5);
        // "::" would ask for an IPv6 address and a strict server refuses the family.
        req.suggestedExternalAddress = PcpIpv4(0);
        const std::vector<std::uint8_t> bytes = EncodePcpMap(req);
        Exchange(ctl, server, Bytes(bytes), config.budgetMs,
                 [&](int id, const Endpoint& from, std::span<const std::uint8_t> b) {
                     PcpResponse a;
                     if (id != ctl || from != server ||
                         ParsePcpResponse(b, a) != PcpAnswer::Response || !PcpAnswersMap(req, a)) {
                         return false;  // a wrong nonce is someone else's answer
                     }
                     r.resultCode = a.resultCode;
                     r.result = PcpResultName(a.resultCode);
                     if (a.resultCode == kPcpSuccess) {
                         external = a.externalPort;
                         if (const auto ext = PcpAsIpv4(a.externalAddress); ext && *ext != 0)
                             r.externalNet = *ext;
                     }
                     return true;
                 });
    }
    m_sockets.Close(ctl);
    if (!r.resultCode || (external == std::nullopt && r.resultCode == 0)) {
        theLog.WriteTimedLine("%s: no answer to the mapping request", kNames[p]);
        return std::nullopt;
    }
    if (!external) {
        theLog.WriteTimedLine("%s: mapping refused: %s (result code %d)", kNames[p],
                              r.result.c_str(), *r.resultCode);
        return std::nullopt;
    }
    m_made.back().externalPort = *external;
    theLog.WriteTimedLine("%s: mapped %s:%u", kNames[p],
                          r.externalNet ? FormatIpv4(*r.externalNet).c_str() : "?", *external);
    return external;
}

std::optional<bool> CPortMapRunner::Inbound(const Endpoint& server, int mappedSocket,
                                            std::uint16_t externalPort, std::uint64_t budgetMs,
                                            std::string& note) {
    // From another socket than the mapped one, so nothing but the mapping can let the
    // answer in: the mapped socket has sent nothing anywhere.
    const int from = m_sockets.Open();
    if (from < 0) {
        note = "no socket";
        return std::nullopt;
    }
    StunMessage req;
    req.transactionId = RandomStunTransactionId();
    req.hasResponsePort = true;
    req.responsePort = NetPort(externalPort);
    std::uint8_t buf[64];
    const std::size_t len = EncodeStun(req, buf, sizeof buf);
    theLog.WriteTimedLine("Binding request with RESPONSE-PORT %u to %s...", externalPort,
                          FormatEndpoint(server).c_str());
    std::optional<bool> result;
    const bool answered =
        Exchange(from, server, {buf, len}, budgetMs,
                 [&](int id, const Endpoint& sender, std::span<const std::uint8_t> b) {
                     const auto m = BindingResponse(b, req.transactionId);
                     if (!m || sender != server)
                         return false;
                     if (id == mappedSocket) {
                         result = true;
                     } else if (id == from) {
                         note = m->cls == StunClass::Error ? "the server refused RESPONSE-PORT (" +
                                                                 std::to_string(m->errorCode) + ")"
                                                           : "the server ignored RESPONSE-PORT";
                     } else {
                         return false;
                     }
                     return true;
                 });
    m_sockets.Close(from);
    if (!answered) {
        result = false;
        note = "nothing arrived within " + std::to_string(budgetMs / 1000) + " s";
    }
    return result;
}

void CPortMapRunner::DeleteAll(PortMapOutcome& o) {
    const Endpoint server = At(m_gateway.gatewayNet, kPortMapServerPort);
    for (const Mapping& m : m_made) {
        bool deleted = false;
        if (m.protocol == kUpnp) {
            deleted = m_upnp && m_upnp->DeleteUdpMapping(m.externalPort).empty();
        } else if (const int ctl = m_sockets.Open(); ctl >= 0) {
            std::vector<std::uint8_t> bytes;
            PcpMapRequest req;
            if (m.protocol == kNatPmp) {
                const auto b = EncodeNatPmpMapUdpRequest(m.internalPort, 0, 0);
                bytes.assign(b.begin(), b.end());
            } else {
                req.clientAddress = PcpIpv4(m_gateway.localNet);
                req.nonce = m.nonce;
                req.internalPort = m.internalPort;
                req.suggestedExternalAddress = PcpIpv4(0);
                bytes = EncodePcpMap(req);
            }
            deleted = Exchange(
                ctl, server, Bytes(bytes), kDeleteBudgetMs,
                [&](int id, const Endpoint& from, std::span<const std::uint8_t> b) {
                    if (id != ctl || from != server)
                        return false;
                    if (m.protocol == kNatPmp) {
                        const auto a = ParseNatPmpResponse(b);
                        return a && a->opcode == kNatPmpMapUdp;
                    }
                    PcpResponse a;
                    return ParsePcpResponse(b, a) == PcpAnswer::Response && PcpAnswersMap(req, a);
                },
                true);
            m_sockets.Close(ctl);
        }
        char line[160];
        std::snprintf(line, sizeof line, "%s: mapping of UDP port %u %s", kNames[m.protocol],
                      m.externalPort,
                      deleted ? "deleted"
                              : "could not be deleted (the router "
                                "ends it when its lifetime runs out)");
        theLog.WriteTimedLine("%s", line);
        o.cleanup.emplace_back(line);
    }
    m_made.clear();
}

void CPortMapRunner::AskPcp6(const PortMapRunConfig& config, PortMapOutcome& o) {
    const std::optional<DefaultGateway6> gw = m_findGateway6 ? m_findGateway6() : std::nullopt;
    if (!gw)
        return;  // no IPv6 default router, or no global address to open a pinhole for
    CUdp6Socket socket;
    if (!socket.Open(gw->local, gw->scopeId)) {
        theLog.WriteTimedLine("PCP over IPv6: cannot open a UDP socket on %s",
                              FormatIpv6(gw->local).c_str());
        return;
    }
    o.pcp6.gateway = gw->gateway;
    o.pcp6.address = gw->local;
    CUdp6Transport transport(socket);
    CPcp6Pinhole pinhole(transport);
    Pcp6Config c;
    c.gateway = gw->gateway;
    c.client = gw->local;
    c.socketId = 0;
    c.internalPort = socket.LocalPort();
    c.map = config.verify;
    c.lifetimeSeconds = config.leaseSeconds;
    c.nonce = RandomNonce();
    c.budgetMs = config.budgetMs;
    c.deleteBudgetMs = kDeleteBudgetMs;
    c.firstRetryMs = kFirstRetryMs;
    pinhole.Start(c, NowMs());
    bool aborted = false;
    while (pinhole.Running()) {
        const std::uint64_t now = NowMs();
        if (Stopped() && !aborted) {
            aborted = true;
            pinhole.Abort(now);  // a pinhole asked for is deleted all the same
            continue;
        }
        const std::uint64_t deadline = pinhole.NextDeadline().value_or(now);
        if (now >= deadline) {
            pinhole.OnTimer(now);
            continue;
        }
        // 100 ms at most, so a stop request is seen within that.
        std::uint8_t buf[kPcpMaxLength];
        Ipv6Endpoint from;
        const long n = socket.Receive(
            static_cast<int>(std::min<std::uint64_t>(deadline - now, 100)), buf, from);
        if (n >= 0) {
            pinhole.OnDatagram(0, Endpoint::Ipv6(from.address, from.port),
                               {buf, static_cast<std::size_t>(n)}, NowMs());
        }
    }
    const Pcp6Outcome& r = pinhole.Outcome();
    o.pcp6.present = r.present;
    if (const auto code = r.mapResult ? r.mapResult : r.announceResult) {
        o.pcp6.resultCode = *code;
        o.pcp6.result = PcpResultName(*code);
    }
    if (r.mapResult == kPcpSuccess)
        o.pcp6.pinhole = r.external;
    if (r.mapSent) {
        char line[160];
        std::snprintf(line, sizeof line, "PCP over IPv6: mapping of UDP port %u %s", c.internalPort,
                      r.deleted == true ? "deleted"
                                        : "could not be deleted (the router ends it when its "
                                          "lifetime runs out)");
        theLog.WriteTimedLine("%s", line);
        o.cleanup.emplace_back(line);
    }
}

void SummarizePortMap(PortMapOutcome& o) {
    const auto yesNo = [](bool b) { return b ? "YES" : "NO"; };
    std::string mapping =
        std::string("UPnP ") +
        (o.upnpAvailable ? yesNo(o.upnp.present) : "NOT ASKED (NOT IN THIS BUILD)") + ", NAT-PMP " +
        yesNo(o.natPmp.present) + ", PCP " + yesNo(o.pcp.present);
    bool tried = false, in = false;
    for (const PortMapProtocol* p : {&o.upnp, &o.natPmp, &o.pcp}) {
        if (p->inbound) {
            tried = true;
            in = in || *p->inbound;
        }
    }
    if (tried)
        o.inbound = in;
    o.lines.clear();
    o.lines.push_back("DEFAULT GATEWAY :    " +
                      (o.gatewayNet ? FormatIpv4(*o.gatewayNet) : std::string("NONE")));
    o.lines.push_back("PORT MAPPING :    " + mapping);
    o.lines.push_back(std::string("INBOUND THROUGH MAPPING :    ") +
                      (tried ? yesNo(in) : "NOT TRIED"));
    o.lines.push_back(std::string("NAT LAYERS :    ") + NatLayersText(o.layers));
    if (o.pcp6.gateway)
        o.lines.push_back("PCP OVER IPV6 :    " + Pcp6Text(o.pcp6));
    LogFramedSummary("Port Mapping Check Result Summarize", o.lines);
}

std::string PortMapMeaningSentence(const PortMapOutcome& o) {
    std::string which;
    for (int p = 0; p < kProtocols; ++p) {
        const PortMapProtocol& r = p == kUpnp ? o.upnp : p == kNatPmp ? o.natPmp : o.pcp;
        if (r.present)
            which += std::string(which.empty() ? "" : ", ") + kNames[p];
    }
    if (which.empty()) {
        if (!o.gatewayNet)
            return "No default gateway was found, so no router could be asked to open ports; "
                   "peers must reach you by hole punching or through a relay.";
        if (!o.upnpAvailable)
            return "Your router does not open ports on request (neither NAT-PMP nor PCP "
                   "answered; this build cannot ask UPnP), so peers must reach you by hole "
                   "punching or through a relay.";
        return "Your router does not open ports on request (neither UPnP, NAT-PMP nor PCP "
               "answered), so peers must reach you by hole punching or through a relay.";
    }
    const std::string can = "Your router can open ports (" + which + "), but ";
    if (o.layers.cgnat == true)
        return can +
               "a carrier-grade NAT in front of it means opened ports cannot be reached "
               "from the internet.";
    if (o.layers.doubleNat == true)
        return can +
               "another NAT in front of it means opened ports cannot be reached from the "
               "internet.";
    if (o.inbound == true)
        return "Your router opens ports on request (" + which +
               ") and a packet from the internet came in through one, so peers can reach you "
               "directly.";
    if (o.inbound == false)
        return can + "nothing from the internet came in through the port it opened.";
    return "Your router can open ports (" + which +
           "); whether packets from the internet come in through them was not tried.";
}
