#include "engine/quick_check.h"

#include <algorithm>

#include "core/log.h"
#include "engine/prober_util.h"

using namespace prober;

// One row per request, in the order they are sent.
// clang-format off
const CQuickCheck::PlannedRequest CQuickCheck::kPlan[kRequestCount] = {
    {kFilterBinding, false, kQuickFilterSlot, kMsgBindingRequest, Dest::Server1, ReplyCode(kMsgBindingRequest), From::Server1, Phase::Measure},
    {kMapBinding1, false, kQuickMappingSlot, kMsgBindingRequest, Dest::Server1, ReplyCode(kMsgBindingRequest), From::Server1, Phase::Measure},
    {kMapBinding2, false, kQuickMappingSlot, kMsgBindingRequest, Dest::Server2, ReplyCode(kMsgBindingRequest), From::Server2, Phase::Measure},
    {kChange, false, kQuickFilterSlot, kMsgChangeRequest, Dest::Server1, kMsgChangedAddressReply, From::Server2AnyPort, Phase::Tests},
    {kLoopback, false, kQuickFilterSlot, kMsgLoopbackProbe, Dest::Mapped, kMsgLoopbackProbe, From::AnySender, Phase::Tests},
    {kPortChange, false, kQuickMappingSlot, kMsgPortChangeRequest, Dest::Server1, ReplyCode(kMsgPortChangeRequest), From::Server1AnyPort, Phase::Tests},
    {kAllocA, false, kQuickAllocSlot, kMsgAllocTestA, Dest::Server1, ReplyCode(kMsgAllocTestA), From::Server1, Phase::Tests},
    {kAllocB, false, kQuickAllocSlot, kMsgAllocTestB, Dest::Server1Next, ReplyCode(kMsgAllocTestB), From::Server1Next, Phase::Tests},
    {kAllocC, false, kQuickAllocSlot, kMsgAllocTestC, Dest::Server2, ReplyCode(kMsgAllocTestC), From::Server2, Phase::Tests},
    {kExcept1, false, kQuickExceptSlot1, kMsgExceptTest1, Dest::Server1, ReplyCode(kMsgExceptTest1), From::Server1, Phase::Tests},
    {kExcept2, false, kQuickExceptSlot2, kMsgExceptTest2, Dest::Server1, ReplyCode(kMsgExceptTest2), From::Server1, Phase::Tests},
    {kPort9802, true, kPort9802Slot, kMsgBindingRequest, Dest::Server1, ReplyCode(kMsgBindingRequest), From::Server1, Phase::Tests},
    {kSearchBroadcast, true, kSearchSlot, kMsgFriendSearch, Dest::Broadcast, ReplyCode(kMsgFriendSearch), From::Searched, Phase::Tests},
    {kSearchDirect, true, kProbeSlot, kMsgFriendSearch, Dest::Friend, ReplyCode(kMsgFriendSearch), From::Searched, Phase::Tests},
};
// clang-format on

CQuickCheck::CQuickCheck(CNatProber& prober, Clock clock)
    : m_prober(prober), m_clock(std::move(clock)) {}

bool CQuickCheck::Start(const QuickCheckConfig& config, INetworkLink* main, INetworkLink* fresh) {
    m_engineThread.Check();
    Abandon();
    if (main == nullptr || fresh == nullptr || config.server1Ip == 0 || config.server1Port == 0 ||
        config.server2Ip == 0 || config.server2Port == 0) {
        return false;
    }
    m_prober.ResetResults();
    m_config = config;
    m_main = main;
    m_fresh = fresh;
    m_findings = QuickFindings{};
    m_rtt1.reset();
    m_rtt2.reset();
    m_interval1 = m_interval2 = kFirstIntervalMs;
    m_phase = Phase::Measure;
    theLog.WriteTimedLine(
        "Quick NAT Check start: the tests run at once, each on a fresh UDP socket (the several "
        "copies test on ports 9801 and 9802)...");
    theLog.WriteTimedLine("Request STUN Server1 and STUN Server2 my MAPPED-ADDRESS...");
    for (const PlannedRequest& planned : kPlan) {
        if (planned.phase == Phase::Measure)
            Send(planned.req, kFirstIntervalMs);
    }
    return true;
}

void CQuickCheck::Abandon() {
    // Unchecked: the owner's Stop calls it on whatever thread tears the module down.
    m_phase = Phase::Idle;
    for (Request& r : m_requests)
        r = Request{};
}

std::optional<std::uint64_t> CQuickCheck::RoundTripMs(int server) const {
    return server == 1 ? m_rtt1 : (server == 2 ? m_rtt2 : std::nullopt);
}

std::uint64_t CQuickCheck::IntervalFor(Dest dest) const {
    return dest == Dest::Server2 ? m_interval2 : m_interval1;
}

void CQuickCheck::Send(Req req, std::uint64_t intervalMs) {
    const PlannedRequest& planned = kPlan[req];
    INetworkLink* link = planned.main ? m_main : m_fresh;
    const SocketHandle socket = link->GetSocket(planned.slot);
    const std::uint16_t searchPort = NetPort(kFriendSearchPort);
    NatMessage msg;
    switch (req) {
        case kChange:
            msg = MakeEndpointRequest(planned.type, m_config.server2Ip, m_config.server2Port,
                                      m_config.server1Ip, m_config.server1Port, socket);
            break;
        case kPortChange:
            msg = MakePortRequest(planned.type, m_config.server2Port, m_config.server1Ip,
                                  m_config.server1Port, socket);
            break;
        case kSearchBroadcast:
        case kSearchDirect:
            msg =
                MakeEndpointRequest(planned.type, m_config.server1Ip, m_config.server1Port,
                                    req == kSearchBroadcast ? kBroadcastAddress : m_config.friendIp,
                                    searchPort, socket);
            break;
        default: {
            std::uint32_t ip = m_config.server1Ip;
            std::uint16_t port = m_config.server1Port;
            if (planned.dest == Dest::Server1Next) {
                port = NetPort(static_cast<std::uint16_t>(HostPort(m_config.server1Port) + 1));
            } else if (planned.dest == Dest::Server2) {
                ip = m_config.server2Ip;
                port = m_config.server2Port;
            } else if (planned.dest == Dest::Mapped) {
                ip = m_findings.server1->ip;
                port = m_findings.server1->port;
            }
            msg = MakeRequest(planned.type, ip, port, socket);
            break;
        }
    }
    // Untracked: the network modules send it once; the retransmissions are ours.
    msg.retryCount = -1;
    const std::uint64_t now = m_clock();
    Request& r = m_requests[req];
    r = Request{};
    r.msg = msg;
    r.active = true;
    r.firstMs = now;
    r.intervalMs = intervalMs;
    r.nextMs = now + intervalMs;
    r.giveUpMs = now + std::min<std::uint64_t>(kTransmissions * intervalMs, kTestCapMs);
    Transmit(req);
}

void CQuickCheck::Transmit(Req req) {
    Request& r = m_requests[req];
    (kPlan[req].main ? m_main : m_fresh)->Send(r.msg);
    ++r.sent;
    r.lastMs = m_clock();
}

bool CQuickCheck::IsFrom(const ReceivedMessage& msg, From from) const {
    switch (from) {
        case From::Server1:
            return msg.fromAddress == m_config.server1Ip && msg.fromPort == m_config.server1Port;
        case From::Server1Next:
            return msg.fromAddress == m_config.server1Ip &&
                   msg.fromPort ==
                       NetPort(static_cast<std::uint16_t>(HostPort(m_config.server1Port) + 1));
        case From::Server1AnyPort:
            return msg.fromAddress == m_config.server1Ip;
        case From::Server2:
            return msg.fromAddress == m_config.server2Ip && msg.fromPort == m_config.server2Port;
        case From::Server2AnyPort:
            return msg.fromAddress == m_config.server2Ip;
        case From::AnySender:
            return true;
        case From::Searched:
            return false;
    }
    return false;
}

void CQuickCheck::OnFreshMessage(const ReceivedMessage& msg) {
    m_engineThread.Check();
    if (!Running() || m_fresh == nullptr)
        return;
    int slot = -1;
    for (int s = 0; s < kSocketSlots; ++s) {
        if (m_fresh->GetSocket(s) == msg.socket)
            slot = s;
    }
    const std::uint32_t type = MessageType(msg);
    // Server1's acknowledgement of the change request: the verdict needs it as much as Server2's
    // reply, so the change request is asked again until both are in (or it gives up).
    if (type == ReplyCode(kMsgChangeRequest) && slot == kQuickFilterSlot &&
        m_requests[kChange].sent > 0 && IsFrom(msg, From::Server1)) {
        m_findings.changeAcked = true;
        if (m_findings.changeReplied && m_requests[kChange].active) {
            m_requests[kChange].active = false;
            Advance();
        }
        return;
    }
    Match(msg, false, slot);
}

bool CQuickCheck::OnMainMessage(const ReceivedMessage& msg) {
    m_engineThread.Check();
    if (!Running() || m_main == nullptr)
        return false;
    int slot = -1;
    for (int s = 0; s < kSocketSlots; ++s) {
        if (m_main->GetSocket(s) == msg.socket)
            slot = s;
    }
    switch (MessageType(msg)) {
        case ReplyCode(kMsgBindingRequest):
            if (slot != kPort9802Slot)
                return false;
            Match(msg, true, slot);
            return true;
        case ReplyCode(kMsgFriendSearch):
            OnFriendAnswer(msg, slot);
            return true;
        case kMsgFriendPortReport:
            OnFriendReport(msg);
            return true;
        default:
            return false;
    }
}

void CQuickCheck::Match(const ReceivedMessage& msg, bool main, int slot) {
    const std::uint32_t type = MessageType(msg);
    for (const PlannedRequest& planned : kPlan) {
        if (planned.main != main || planned.slot != slot || planned.reply != type)
            continue;
        const Request& r = m_requests[planned.req];
        if (r.sent == 0 || !IsFrom(msg, planned.from))
            continue;
        // A duplicate, or a reply after the request was given up: the finding stands as it is.
        if (r.active)
            Accept(planned.req, msg);
        return;
    }
    ++m_droppedFromStrangers;
}

void CQuickCheck::Accept(Req req, const ReceivedMessage& msg) {
    Request& r = m_requests[req];
    r.active = false;
    r.answered = true;
    const std::uint64_t now = m_clock();
    const QuickFindings::Mapping mapping{EndpointBodyAddress(msg), EndpointBodyPort(msg)};
    // From the latest transmission: after a lost first one the reply most likely answers the
    // latest, and counting from the first would take the lost wait (250 ms) for the path's
    // round trip, stretch every later interval by three times that and leave the cap room for
    // two tries only. A reply to an earlier transmission that was merely slow makes the sample
    // short; the 100 ms floor and six tries still wait 600 ms for it.
    const std::uint64_t rtt = now >= r.lastMs ? now - r.lastMs : 0;
    const auto keepShorter = [rtt](std::optional<std::uint64_t>& kept) {
        kept = kept ? std::min(*kept, rtt) : rtt;
    };
    switch (req) {
        case kFilterBinding:
            m_findings.server1 = mapping;
            keepShorter(m_rtt1);
            break;
        case kMapBinding1:
            m_findings.mappingServer1 = mapping;
            keepShorter(m_rtt1);
            break;
        case kMapBinding2:
            m_findings.mappingServer2 = mapping;
            m_rtt2 = rtt;
            break;
        case kChange:
            m_findings.changeReplied = true;
            m_fresh->Send(MakeAnswer(kMsgChangedAddressAck, msg));
            r.active = !m_findings.changeAcked;  // see OnFreshMessage
            break;
        case kLoopback:
            m_findings.loopback = true;
            break;
        case kPortChange:
            m_findings.portChangeReplied = true;
            break;
        case kAllocA:
            m_findings.allocA = PortBody(msg);
            break;
        case kAllocB:
            m_findings.allocB = PortBody(msg);
            break;
        case kAllocC:
            m_findings.allocC = PortBody(msg);
            break;
        case kExcept1:
            m_findings.except1 = PortBody(msg);
            break;
        case kExcept2:
            m_findings.except2 = PortBody(msg);
            break;
        case kPort9802:
            m_findings.port9802 = mapping.port;
            break;
        default:
            break;
    }
    Advance();
}

void CQuickCheck::OnFriendAnswer(const ReceivedMessage& msg, int slot) {
    // As the stepwise check: the broadcast reaches only this computer's networks, the direct
    // search only the configured friend.
    const bool broadcastAnswer = slot == kSearchSlot && m_requests[kSearchBroadcast].sent > 0 &&
                                 m_prober.LocalAddresses().OnLocalNetwork(msg.fromAddress);
    const bool directAnswer = slot == kProbeSlot && m_requests[kSearchDirect].sent > 0 &&
                              m_config.friendIp != 0 && msg.fromAddress == m_config.friendIp;
    if (!broadcastAnswer && !directAnswer) {
        ++m_droppedFromStrangers;
        return;
    }
    // The first answer wins; one that comes after the search was given up finds no one waiting.
    if (m_findings.friendIp != 0 ||
        !(m_requests[kSearchBroadcast].active || m_requests[kSearchDirect].active)) {
        return;
    }
    m_findings.friendIp = msg.fromAddress;
    m_findings.friendPort = msg.fromPort;
    // Found: asking on would only make the friend ask its Server1 again.
    for (Req req : {kSearchBroadcast, kSearchDirect}) {
        m_requests[req].answered = m_requests[req].active;
        m_requests[req].active = false;
    }
    Advance();
}

void CQuickCheck::OnFriendReport(const ReceivedMessage& msg) {
    if (m_findings.friendIp == 0)
        return;  // no friend yet: as the stepwise check, neither answered nor used
    if (msg.fromAddress != m_findings.friendIp) {
        ++m_droppedFromStrangers;
        return;
    }
    // Acknowledged each time, so the friend stops retransmitting; the first report counts.
    m_main->Send(MakeAnswer(ReplyCode(kMsgFriendPortReport), msg));
    if (m_findings.friendReport || !AwaitingFriendReport())
        return;
    m_findings.friendReport = PortBody(msg);
    Advance();
}

bool CQuickCheck::AwaitingFriendReport() const {
    return m_phase == Phase::Tests && m_findings.friendIp != 0 && !m_findings.friendReport &&
           m_clock() < m_testsStartMs + kTestCapMs;
}

bool CQuickCheck::AnyActive(Phase phase) const {
    for (const PlannedRequest& planned : kPlan) {
        if (planned.phase == phase && m_requests[planned.req].active)
            return true;
    }
    return false;
}

void CQuickCheck::OnTimer() {
    m_engineThread.Check();
    if (!Running())
        return;
    const std::uint64_t now = m_clock();
    for (const PlannedRequest& planned : kPlan) {
        Request& r = m_requests[planned.req];
        if (!r.active)
            continue;
        // A timer held up by a busy machine must not cost tries: a request gives up once all
        // were sent, or at the cap whatever happened.
        if (now >= r.giveUpMs && (r.sent >= kTransmissions || now >= r.firstMs + kTestCapMs)) {
            r.active = false;
            continue;
        }
        // A late timer sends what is due once, not a burst.
        if (now >= r.nextMs && r.sent < kTransmissions) {
            Transmit(planned.req);
            r.nextMs = r.firstMs + static_cast<std::uint64_t>(r.sent) * r.intervalMs;
        }
    }
    Advance();
}

std::optional<std::uint64_t> CQuickCheck::NextDeadline() const {
    if (!Running())
        return std::nullopt;
    std::optional<std::uint64_t> next;
    const auto consider = [&next](std::uint64_t at) { next = next ? std::min(*next, at) : at; };
    for (const Request& r : m_requests) {
        if (!r.active)
            continue;
        consider(r.giveUpMs);
        if (r.sent < kTransmissions)
            consider(r.nextMs);
    }
    if (AwaitingFriendReport())
        consider(m_testsStartMs + kTestCapMs);
    return next;
}

void CQuickCheck::StartTests() {
    const auto fromRtt = [](const std::optional<std::uint64_t>& rtt) {
        return std::max(kRoundTripsPerInterval * *rtt, kMinIntervalMs);
    };
    m_interval1 = fromRtt(m_rtt1);
    m_interval2 = m_rtt2 ? fromRtt(m_rtt2) : m_interval1;
    if (m_rtt2) {
        theLog.WriteTimedLine(
            "Round trip to STUN Server1 %llu ms, to STUN Server2 %llu ms: each test asks again "
            "after %llu/%llu ms, %d times at most, all at once now...",
            static_cast<unsigned long long>(*m_rtt1), static_cast<unsigned long long>(*m_rtt2),
            static_cast<unsigned long long>(m_interval1),
            static_cast<unsigned long long>(m_interval2), kTransmissions);
    } else {
        theLog.WriteTimedLine(
            "Round trip to STUN Server1 %llu ms, STUN Server2 has no response: each test asks "
            "again after %llu ms, %d times at most, all at once now...",
            static_cast<unsigned long long>(*m_rtt1), static_cast<unsigned long long>(m_interval1),
            kTransmissions);
    }
    m_phase = Phase::Tests;
    m_testsStartMs = m_clock();
    for (const PlannedRequest& planned : kPlan) {
        if (planned.phase != Phase::Tests)
            continue;
        // Without a configured friend the broadcast alone searches.
        if (planned.req == kSearchDirect && m_config.friendIp == 0)
            continue;
        // The change request is answered from Server2, after a relay through Server1.
        const std::uint64_t interval =
            planned.req == kChange ? std::max(m_interval1, m_interval2) : IntervalFor(planned.dest);
        Send(planned.req, interval);
    }
}

void CQuickCheck::Advance() {
    if (m_phase == Phase::Measure) {
        if (AnyActive(Phase::Measure))
            return;
        // The filter socket never heard Server1: the stepwise check would stop there too.
        if (!m_findings.server1) {
            Finish();
            return;
        }
        StartTests();
        return;
    }
    if (m_phase == Phase::Tests && !AnyActive(Phase::Tests) && !AwaitingFriendReport())
        Finish();
}

void CQuickCheck::Finish() {
    m_findings.exceptLocal1 = m_fresh->LocalPort(kQuickExceptSlot1);
    m_findings.exceptLocal2 = m_fresh->LocalPort(kQuickExceptSlot2);
    // Idle first: the summary's presenter may run a nested loop in which timers and deliveries
    // are handled, and they must find no run in progress (a new one started there starts afresh,
    // hence the copy).
    Abandon();
    const QuickFindings findings = m_findings;
    m_prober.ReportQuickFindings(findings);
}

const char* CQuickCheck::WaitingFor() const {
    switch (m_phase) {
        case Phase::Idle:
            return "";
        case Phase::Measure:
            return "the round trips to the servers";
        case Phase::Tests:
            break;
    }
    return AnyActive(Phase::Tests) ? "the replies of all tests" : "the friend's port report";
}

std::uint64_t CQuickCheck::MsLeft() const {
    if (!Running())
        return 0;
    const std::uint64_t now = m_clock();
    std::uint64_t end = now;
    for (const Request& r : m_requests) {
        if (r.active)
            end = std::max(end, r.giveUpMs);
    }
    if (m_phase == Phase::Measure) {
        end += kTestCapMs;  // the tests follow the measurement
    } else if (m_findings.friendIp != 0 && !m_findings.friendReport) {
        end = std::max(end, m_testsStartMs + kTestCapMs);
    }
    return end - now;
}
