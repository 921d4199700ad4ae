#include "engine/quick_check.h"

#include <algorithm>
#include <string>

#include "core/log.h"
#include "engine/prober_util.h"

using namespace prober;

namespace {

// "6 ms" for a sample, "at most 760 ms" for a bound alone.
std::string RoundTripText(const RoundTripEstimate& rtt) {
    const std::uint64_t ms = rtt.sampleMs ? *rtt.sampleMs : rtt.boundMs.value_or(0);
    return (rtt.sampleMs ? "" : "at most ") + std::to_string(ms) + " ms";
}

}  // namespace

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
    m_rtt1 = m_rtt2 = RoundTripEstimate{};
    m_testsCapMs = kTestCapMs;
    m_startMs = m_clock();
    m_phase = Phase::Measure;
    theLog.WriteTimedLine(
        "Quick NAT Check start: the tests run at once, each on a fresh UDP socket (the several "
        "copies test on ports 9801 and 9802)...");
    theLog.WriteTimedLine("Request STUN Server1 and STUN Server2 my MAPPED-ADDRESS...");
    ScheduleRule measuring = ScheduleRule::Fixed(kFirstIntervalMs, kTransmissions, kMeasureCapMs);
    measuring.minGiveUpMs = kMeasureCapMs;
    for (const PlannedRequest& planned : kPlan) {
        if (planned.phase == Phase::Measure)
            Send(planned.req, measuring);
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
    if (server != 1 && server != 2)
        return std::nullopt;
    const RoundTripEstimate& rtt = server == 1 ? m_rtt1 : m_rtt2;
    return rtt.sampleMs ? rtt.sampleMs : rtt.boundMs;
}

const ScheduleRule& CQuickCheck::RuleFor(Req req) const {
    if (req == kChange)
        return m_ruleChange;
    return kPlan[req].dest == Dest::Server2 ? m_rule2 : m_rule1;
}

void CQuickCheck::Send(Req req, const ScheduleRule& rule) {
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
    Request& r = m_requests[req];
    r.msg = msg;
    r.schedule.Start(rule, m_clock());
    Transmit(req);
}

void CQuickCheck::Transmit(Req req) {
    (kPlan[req].main ? m_main : m_fresh)->Send(m_requests[req].msg);
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
    CRequestSchedule& change = m_requests[kChange].schedule;
    if (type == ReplyCode(kMsgChangeRequest) && slot == kQuickFilterSlot && change.Sent() > 0 &&
        IsFrom(msg, From::Server1)) {
        m_findings.changeAcked = true;
        if (m_findings.changeReplied && change.Waiting()) {
            change.Answered(m_clock());
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
        const CRequestSchedule& schedule = m_requests[planned.req].schedule;
        if (schedule.Sent() == 0 || !IsFrom(msg, planned.from))
            continue;
        // A duplicate, or a reply after the request was given up: the finding stands as it is.
        if (schedule.Waiting())
            Accept(planned.req, msg);
        return;
    }
    ++m_droppedFromStrangers;
}

void CQuickCheck::Accept(Req req, const ReceivedMessage& msg) {
    CRequestSchedule& schedule = m_requests[req].schedule;
    const std::uint64_t now = m_clock();
    const QuickFindings::Mapping mapping{EndpointBodyAddress(msg), EndpointBodyPort(msg)};
    // The change request is still asked again until Server1's acknowledgement is in too: see
    // OnFreshMessage.
    if (req == kChange && !m_findings.changeAcked) {
        m_findings.changeReplied = true;
        m_fresh->Send(MakeAnswer(kMsgChangedAddressAck, msg));
        Advance();
        return;
    }
    // Karn's rule: a reply to a request sent more than once may answer any transmission, so it
    // only bounds the round trip. Taken from the latest transmission, a reply to the first that
    // came just after a retransmission made a sample of a few ms, and every later request was
    // given up before its own reply could come.
    const RoundTrip rtt = schedule.Answered(now);
    switch (req) {
        case kFilterBinding:
            m_findings.server1 = mapping;
            m_rtt1.Add(rtt);
            break;
        case kMapBinding1:
            m_findings.mappingServer1 = mapping;
            m_rtt1.Add(rtt);
            break;
        case kMapBinding2:
            m_findings.mappingServer2 = mapping;
            m_rtt2.Add(rtt);
            break;
        case kChange:
            m_findings.changeReplied = true;
            m_fresh->Send(MakeAnswer(kMsgChangedAddressAck, msg));
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
    CRequestSchedule& broadcast = m_requests[kSearchBroadcast].schedule;
    CRequestSchedule& direct = m_requests[kSearchDirect].schedule;
    const bool broadcastAnswer = slot == kSearchSlot && broadcast.Sent() > 0 &&
                                 m_prober.LocalAddresses().OnLocalNetwork(msg.fromAddress);
    const bool directAnswer = slot == kProbeSlot && direct.Sent() > 0 && m_config.friendIp != 0 &&
                              msg.fromAddress == m_config.friendIp;
    if (!broadcastAnswer && !directAnswer) {
        ++m_droppedFromStrangers;
        return;
    }
    // The first answer wins; one that comes after the search was given up finds no one waiting.
    if (m_findings.friendIp != 0 || !(broadcast.Waiting() || direct.Waiting()))
        return;
    m_findings.friendIp = msg.fromAddress;
    m_findings.friendPort = msg.fromPort;
    // Found: asking on would only make the friend ask its Server1 again.
    broadcast.Cancel();
    direct.Cancel();
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
           m_clock() < m_testsStartMs + m_testsCapMs;
}

bool CQuickCheck::AnyActive(Phase phase) const {
    for (const PlannedRequest& planned : kPlan) {
        if (planned.phase == phase && m_requests[planned.req].schedule.Waiting())
            return true;
    }
    return false;
}

std::uint64_t CQuickCheck::MeasureEndsAt() const {
    // The slower server's bound: both usually share most of the path.
    const std::optional<std::uint64_t> bound = std::max(m_rtt1.boundMs, m_rtt2.boundMs);
    if (!bound)
        return m_startMs + kMeasureCapMs;
    // Every transmission and the wait after the last, as on a usual path; longer when the
    // answer that came shows a slower one (a lost try and a slow answer, as QuickRule waits).
    const std::uint64_t usual = kFirstIntervalMs * static_cast<std::uint64_t>(kTransmissions);
    return m_startMs + std::min(kMeasureCapMs, std::max(usual, kFirstIntervalMs + 2 * *bound));
}

void CQuickCheck::OnTimer() {
    m_engineThread.Check();
    if (!Running())
        return;
    const std::uint64_t now = m_clock();
    const bool measureOver = m_phase == Phase::Measure && now >= MeasureEndsAt();
    for (const PlannedRequest& planned : kPlan) {
        CRequestSchedule& schedule = m_requests[planned.req].schedule;
        if (measureOver && planned.phase == Phase::Measure) {
            schedule.Cancel();
            continue;
        }
        // One step per call: a late timer sends what is due once, not a burst, and costs no try.
        if (schedule.Due(now) == CRequestSchedule::Step::Send)
            Transmit(planned.req);
    }
    Advance();
}

std::optional<std::uint64_t> CQuickCheck::NextDeadline() const {
    if (!Running())
        return std::nullopt;
    std::optional<std::uint64_t> next;
    const auto consider = [&next](std::uint64_t at) { next = next ? std::min(*next, at) : at; };
    for (const Request& r : m_requests) {
        if (const auto at = r.schedule.NextDeadline())
            consider(*at);
    }
    if (m_phase == Phase::Measure && AnyActive(Phase::Measure))
        consider(MeasureEndsAt());
    if (AwaitingFriendReport())
        consider(m_testsStartMs + m_testsCapMs);
    return next;
}

void CQuickCheck::PlanTests() {
    const QuickPolicy policy{.minIntervalMs = kMinIntervalMs,
                             .factor = kRoundTripsPerInterval,
                             .transmissions = kTransmissions,
                             .capMs = kTestCapMs};
    m_rule1 = QuickRule(m_rtt1, kFirstIntervalMs, policy);
    // A silent Server2 is asked (the allocation test) as Server1 is.
    const RoundTripEstimate& rtt2 = m_rtt2.Known() ? m_rtt2 : m_rtt1;
    m_rule2 = QuickRule(rtt2, kFirstIntervalMs, policy);
    // The change request is answered from Server2, after a relay through Server1: the longer
    // interval of the two, and room for the larger bound.
    const RoundTripEstimate wider{.sampleMs = std::nullopt,
                                  .boundMs = std::max(m_rtt1.boundMs, rtt2.boundMs)};
    m_ruleChange = QuickRule(wider, std::max(m_rule1.intervalMs, m_rule2.intervalMs), policy);
    m_testsCapMs = std::max({m_rule1.capMs, m_rule2.capMs, m_ruleChange.capMs});

    const std::string rtt1Text = RoundTripText(m_rtt1);
    if (m_rtt2.Known()) {
        theLog.WriteTimedLine(
            "Round trip to STUN Server1 %s, to STUN Server2 %s: each test asks again after "
            "%llu/%llu ms, %d times at most, all at once now...",
            rtt1Text.c_str(), RoundTripText(m_rtt2).c_str(),
            static_cast<unsigned long long>(m_rule1.intervalMs),
            static_cast<unsigned long long>(m_rule2.intervalMs), kTransmissions);
    } else {
        theLog.WriteTimedLine(
            "Round trip to STUN Server1 %s, STUN Server2 has no response: each test asks again "
            "after %llu ms, %d times at most, all at once now...",
            rtt1Text.c_str(), static_cast<unsigned long long>(m_rule1.intervalMs), kTransmissions);
    }
    if (m_testsCapMs > kTestCapMs) {
        theLog.WriteTimedLine(
            "The path to the servers is slow: the tests may take up to %llu ms (%llu ms at most "
            "on a usual path)...",
            static_cast<unsigned long long>(m_testsCapMs),
            static_cast<unsigned long long>(kTestCapMs));
    }
}

void CQuickCheck::StartTests() {
    PlanTests();
    m_phase = Phase::Tests;
    m_testsStartMs = m_clock();
    for (const PlannedRequest& planned : kPlan) {
        if (planned.phase != Phase::Tests)
            continue;
        // Without a configured friend the broadcast alone searches.
        if (planned.req == kSearchDirect && m_config.friendIp == 0)
            continue;
        Send(planned.req, RuleFor(planned.req));
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
    if (m_phase == Phase::Measure) {
        // The tests follow the measurement; how long they take depends on what it finds.
        return std::max(now, MeasureEndsAt()) - now + kTestCapMs;
    }
    std::uint64_t end = now;
    for (const Request& r : m_requests) {
        if (r.schedule.Waiting())
            end = std::max(end, r.schedule.GiveUpAt());
    }
    if (m_findings.friendIp != 0 && !m_findings.friendReport)
        end = std::max(end, m_testsStartMs + m_testsCapMs);
    return end - now;
}
