#include "standard/mapping_lifetime.h"

#include <algorithm>

#include "core/log.h"
#include "core/verdicts.h"
#include "net/messages.h"
#include "net/stun_message.h"

namespace {

constexpr std::uint64_t kSecond = 1000;
// The search stops when the range is this narrow, or a tenth of its lower bound if that is more.
constexpr std::uint64_t kResolutionMs = kSecond;
// How long a bisection trial's Binding exchange is reckoned to take when planning what still
// fits; a trial whose answer comes too late to end in time says nothing.
constexpr std::uint64_t kBindingAllowanceMs = kSecond;
// Two bisection trials in a row without an answer to their Binding request: the server has gone.
constexpr int kMaxVoidInARow = 2;

std::string Seconds(std::uint64_t ms) {
    return std::to_string(ms / kSecond) + " s";
}

std::optional<Endpoint> MappedOf(const StunMessage& m) {
    return EndpointOfStun(m.xorMapped.present ? m.xorMapped : m.mapped);
}

}  // namespace

std::optional<std::uint64_t> LifetimeOutcome::KeepaliveMs() const {
    if (!Determined())
        return std::nullopt;
    const std::uint64_t a = *aliveMs;
    const std::uint64_t margin = std::max(kSecond, a / 5);
    const std::uint64_t n = a > margin ? a - margin : 0;
    return std::max(kSecond, n / kSecond * kSecond);
}

std::string LifetimeText(const LifetimeOutcome& o) {
    std::string text = "MAPPING LIFETIME: ";
    if (!o.Determined())
        return text + "NOT DETERMINED";
    if (o.expiredMs)
        return text + "at least " + Seconds(*o.aliveMs) + ", at most " + Seconds(*o.expiredMs);
    if (*o.aliveMs >= o.maxMs)
        return text + "more than " + Seconds(o.maxMs);
    return text + "at least " + Seconds(*o.aliveMs);
}

CMappingLifetime::CMappingLifetime(IStunTransport& transport, Clock clock)
    : m_transport(transport), m_clock(std::move(clock)), m_newId(RandomStunTransactionId) {}

CMappingLifetime::~CMappingLifetime() {
    CloseAll();
}

std::uint64_t CMappingLifetime::Bound(const LifetimeConfig& c) {
    // The control trial (its Binding exchanges, then its probe), then the longest doubling
    // trial: its Binding exchange, maxMs idle and its probe.
    return 2 * (c.timing.capMs + ProbeSpanMs(c)) +
           std::clamp(c.maxMs, kSecond, LifetimeConfig::kLimitMaxMs);
}

ScheduleRule CMappingLifetime::BindingRule() const {
    const StunTiming& t = m_config.timing;
    return ScheduleRule::Rfc5389(t.rtoMs, t.transmissions, t.lastWaitFactor, t.capMs);
}

ScheduleRule CMappingLifetime::ProbeRule() const {
    ScheduleRule rule;
    rule.intervalMs = m_config.probeIntervalMs;
    rule.transmissions = std::max(m_config.probeTransmissions, 1);
    rule.lastWaitMs = m_config.probeLastWaitMs;
    rule.capMs = ProbeSpanMs(m_config);
    return rule;
}

std::uint64_t CMappingLifetime::ProbeSpanMs(const LifetimeConfig& c) {
    return c.probeIntervalMs * static_cast<std::uint64_t>(std::max(c.probeTransmissions, 1) - 1) +
           c.probeLastWaitMs;
}

void CMappingLifetime::Start(const LifetimeConfig& config) {
    Stop();
    m_checkThread.Check();
    m_config = config;
    m_config.maxMs = std::clamp<std::uint64_t>(config.maxMs, kSecond, LifetimeConfig::kLimitMaxMs);
    m_outcome = LifetimeOutcome{};
    m_outcome.server = config.server;
    m_outcome.maxMs = m_config.maxMs;
    m_trials.clear();
    m_yMapped.reset();
    m_voidInARow = 0;
    m_dropped = 0;
    m_phase = Phase::Control;
    m_running = true;
    m_startMs = m_clock();
    m_endMs = m_startMs + Bound(m_config);

    theLog.WriteLine("");
    theLog.WriteTimedLine("Start NAT mapping lifetime test (RFC 5780 section 4.6)...");
    theLog.WriteLine("");
    theLog.WriteLine("STUN Server Information:");
    if (config.serverName.empty())
        theLog.WriteLine("    STUN server: %s", FormatEndpoint(config.server).c_str());
    else
        theLog.WriteLine("    STUN server: %s (%s)", FormatEndpoint(config.server).c_str(),
                         config.serverName.c_str());
    const std::uint64_t bound = Bound(m_config) / kSecond;
    theLog.WriteTimedLine("Idle times up to %llu s; the test takes at most %llu min %02llu s",
                          static_cast<unsigned long long>(m_config.maxMs / kSecond),
                          static_cast<unsigned long long>(bound / 60),
                          static_cast<unsigned long long>(bound % 60));

    m_ySocket = m_transport.OpenFor(m_config.server.family);
    if (m_ySocket < 0) {
        m_outcome.socketsFailed = true;
        theLog.WriteTimedLine("Cannot open a UDP socket, lifetime test stop!");
        Finish();
        return;
    }
    theLog.WriteTimedLine("Binding request to %s from the probing socket...",
                          FormatEndpoint(config.server).c_str());
    StartRequest(m_ySocket, m_yBinding, BindingRule(), std::nullopt);
    OpenTrial(0);
}

void CMappingLifetime::Send(int socketId, const Request& r,
                            std::optional<std::uint16_t> responsePort) {
    StunMessage msg;
    msg.transactionId = r.id;
    msg.hasResponsePort = responsePort.has_value();
    msg.responsePort = responsePort ? NetPort(*responsePort) : 0;
    msg.fingerprint = true;
    std::uint8_t buf[64];
    const std::size_t len = EncodeStun(msg, buf, sizeof buf);
    // A send the system refuses counts as one lost on the way.
    m_transport.Send(socketId, m_config.server, {buf, len});
}

void CMappingLifetime::StartRequest(int socketId, Request& r, const ScheduleRule& rule,
                                    std::optional<std::uint16_t> responsePort) {
    r.id = m_newId();
    r.schedule.Start(rule, m_clock());
    Send(socketId, r, responsePort);
}

bool CMappingLifetime::OpenTrial(std::uint64_t idleMs) {
    Trial t;
    t.idleMs = idleMs;
    t.socket = m_transport.OpenFor(m_config.server.family);
    if (t.socket < 0) {
        m_outcome.socketsFailed = true;
        theLog.WriteTimedLine("Cannot open a UDP socket, lifetime test stop!");
        Finish();
        return false;
    }
    StartRequest(t.socket, t.binding, BindingRule(), std::nullopt);
    m_trials.push_back(std::move(t));
    return true;
}

void CMappingLifetime::StartProbe(Trial& t) {
    t.state = TrialState::Probing;
    StartRequest(m_ySocket, t.probe, ProbeRule(), t.mapped.port);
}

std::vector<std::uint64_t> CMappingLifetime::TrialsInProgress() const {
    std::vector<std::uint64_t> idle;
    if (m_running) {
        for (const Trial& t : m_trials)
            idle.push_back(t.idleMs);
    }
    std::sort(idle.begin(), idle.end());
    return idle;
}

std::optional<std::uint64_t> CMappingLifetime::EndsBy() const {
    return m_running ? std::optional<std::uint64_t>(m_endMs) : std::nullopt;
}

std::optional<std::uint64_t> CMappingLifetime::NextDeadline() const {
    if (!m_running)
        return std::nullopt;
    std::uint64_t next = UINT64_MAX;
    const auto take = [&next](const std::optional<std::uint64_t>& d) {
        if (d)
            next = std::min(next, *d);
    };
    take(m_yBinding.schedule.NextDeadline());
    for (const Trial& t : m_trials) {
        take(t.binding.schedule.NextDeadline());
        take(t.probe.schedule.NextDeadline());
        // The control trial probes when the probing socket's mapping is known (ControlReady).
        if (t.state == TrialState::Idle && m_phase != Phase::Control)
            next = std::min(next, t.idleFrom + t.idleMs);
    }
    return next == UINT64_MAX ? std::nullopt : std::optional<std::uint64_t>(next);
}

void CMappingLifetime::OnTimer(std::uint64_t nowMs) {
    m_checkThread.Check();
    if (!m_running)
        return;
    const auto step = [this, nowMs](int socketId, Request& r,
                                    std::optional<std::uint16_t> responsePort) {
        const CRequestSchedule::Step s = r.schedule.Due(nowMs);
        if (s == CRequestSchedule::Step::Send)
            Send(socketId, r, responsePort);
        return s == CRequestSchedule::Step::GiveUp;
    };
    if (step(m_ySocket, m_yBinding, std::nullopt)) {
        theLog.WriteTimedLine(
            "I can't receive any response from the STUN server, lifetime test stop!");
        Fail("no response from the STUN server");
        return;
    }
    // By index: ending a trial may start others (the vector grows) or finish the test.
    for (std::size_t i = 0; i < m_trials.size() && m_running; ++i) {
        Trial& t = m_trials[i];
        if (t.state == TrialState::Binding && step(t.socket, t.binding, std::nullopt)) {
            EndTrial(i--, Result::Void);
        } else if (t.state == TrialState::Idle && m_phase != Phase::Control &&
                   nowMs >= t.idleFrom + t.idleMs) {
            StartProbe(t);
        } else if (t.state == TrialState::Probing && step(m_ySocket, t.probe, t.mapped.port)) {
            EndTrial(i--, Result::Expired);
        }
    }
}

void CMappingLifetime::OnDatagram(int socketId, const Endpoint& from,
                                  std::span<const std::uint8_t> bytes) {
    m_checkThread.Check();
    if (!m_running || socketId < 0)
        return;
    StunMessage msg;
    if (!LooksLikeStun(bytes.data(), bytes.size()) ||
        ParseStun(bytes.data(), bytes.size(), msg) != StunParseError::None ||
        (msg.cls != StunClass::Success && msg.cls != StunClass::Error)) {
        ++m_dropped;
        return;
    }
    if (socketId == m_ySocket) {
        OnYDatagram(from, msg);
        return;
    }
    for (std::size_t i = 0; i < m_trials.size(); ++i) {
        if (m_trials[i].socket == socketId) {
            OnXDatagram(i, from, msg);
            return;
        }
    }
    ++m_dropped;
}

void CMappingLifetime::OnYDatagram(const Endpoint& from, const StunMessage& msg) {
    // Every answer must come from where its request went: the method rests on it.
    if (!(from == m_config.server)) {
        ++m_dropped;
        return;
    }
    if (m_yBinding.schedule.Waiting() && msg.transactionId == m_yBinding.id) {
        const std::optional<Endpoint> mapped = MappedOf(msg);
        if (msg.cls != StunClass::Success || !mapped) {
            Fail("the server refused a plain Binding request");
            return;
        }
        m_yBinding.schedule.Answered(m_clock());
        m_yMapped = mapped;
        m_outcome.serverAnswered = true;
        theLog.WriteTimedLine("The probing socket is mapped to %s",
                              FormatEndpoint(*mapped).c_str());
        ControlReady();
        return;
    }
    // A probe answered here: the server sent it to the requester's own port.
    for (const Trial& t : m_trials) {
        if (t.state != TrialState::Probing || msg.transactionId != t.probe.id)
            continue;
        if (msg.cls == StunClass::Success) {
            Fail("the server ignores RESPONSE-PORT (it answered the probing socket itself)");
        } else {
            const bool unknown =
                std::find(msg.unknownAttributes.begin(), msg.unknownAttributes.end(),
                          kStunAttrResponsePort) != msg.unknownAttributes.end();
            Fail(unknown ? "the server does not support RESPONSE-PORT (error 420)"
                         : "the server refused RESPONSE-PORT (error " +
                               std::to_string(msg.errorCode) + ")");
        }
        return;
    }
    ++m_dropped;
}

void CMappingLifetime::OnXDatagram(std::size_t index, const Endpoint& from,
                                   const StunMessage& msg) {
    Trial& t = m_trials[index];
    if (!(from == m_config.server) || msg.cls != StunClass::Success) {
        ++m_dropped;
        return;
    }
    if (t.state == TrialState::Binding && msg.transactionId == t.binding.id) {
        const std::optional<Endpoint> mapped = MappedOf(msg);
        if (!mapped) {
            ++m_dropped;
            return;
        }
        t.binding.schedule.Answered(m_clock());
        t.mapped = *mapped;
        t.idleFrom = m_clock();
        t.state = TrialState::Idle;
        if (t.idleMs == 0) {
            m_outcome.mapped = t.mapped;
            theLog.WriteTimedLine("A fresh socket is mapped to %s",
                                  FormatEndpoint(t.mapped).c_str());
            ControlReady();
        } else if (t.idleFrom + t.idleMs + ProbeSpanMs(m_config) > m_endMs) {
            EndTrial(index, Result::Void);  // answered too late to end in time
        }
        return;
    }
    if (t.state == TrialState::Probing && msg.transactionId == t.probe.id) {
        t.probe.schedule.Answered(m_clock());
        EndTrial(index, Result::Alive);
        return;
    }
    ++m_dropped;
}

// The control trial probes once both its socket and the probing socket know their mappings.
void CMappingLifetime::ControlReady() {
    if (m_phase != Phase::Control || !m_yMapped || m_trials.empty())
        return;
    Trial& t = m_trials.front();
    if (t.state != TrialState::Idle)
        return;
    if (!m_yMapped->SameAddress(t.mapped)) {
        Fail("the NAT maps this computer's sockets to different public addresses (" +
             FormatAddress(t.mapped) + ", " + FormatAddress(*m_yMapped) +
             "): the answer to one socket's request cannot reach another's mapping");
        return;
    }
    theLog.WriteTimedLine("Binding request with RESPONSE-PORT %u from the probing socket...",
                          static_cast<unsigned>(t.mapped.port));
    StartProbe(t);
}

void CMappingLifetime::EndTrial(std::size_t index, Result result) {
    const Trial t = m_trials[index];
    if (t.socket >= 0)
        m_transport.Close(t.socket);
    m_trials.erase(m_trials.begin() + static_cast<std::ptrdiff_t>(index));
    if (m_phase == Phase::Control) {
        OnControl(result);
        return;
    }
    const std::string idle = Seconds(t.idleMs) + " idle";
    switch (result) {
        case Result::Alive:
            theLog.WriteTimedLine("%s: the answer arrived, the mapping lived", idle.c_str());
            m_outcome.aliveMs = std::max(m_outcome.aliveMs.value_or(0), t.idleMs);
            m_voidInARow = 0;
            break;
        case Result::Expired:
            theLog.WriteTimedLine("%s: no answer to %d transmissions, the mapping expired",
                                  idle.c_str(), t.probe.schedule.Sent());
            m_outcome.expiredMs = std::min(m_outcome.expiredMs.value_or(UINT64_MAX), t.idleMs);
            m_voidInARow = 0;
            break;
        case Result::Void:
            theLog.WriteTimedLine(
                "%s: no usable answer to the fresh socket's Binding request, "
                "the trial says nothing",
                idle.c_str());
            ++m_voidInARow;
            break;
    }
    // An expiry ends the doubling: longer trials can only expire too.
    if (m_phase == Phase::Doubling && result == Result::Expired) {
        for (std::size_t i = m_trials.size(); i-- > 0;) {
            if (m_trials[i].idleMs > t.idleMs) {
                m_transport.Close(m_trials[i].socket);
                m_trials.erase(m_trials.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    if (m_trials.empty())
        NextBisection();
}

void CMappingLifetime::OnControl(Result result) {
    if (result == Result::Alive) {
        m_outcome.aliveMs = 0;
        theLog.WriteTimedLine(
            "The answer reached the fresh mapping: the server honours "
            "RESPONSE-PORT and answers from %s, where every trial socket sends",
            FormatEndpoint(m_config.server).c_str());
        StartDoubling();
    } else if (result == Result::Expired) {
        Fail(
            "no answer reached a mapping made a moment before: the server ignores RESPONSE-PORT, "
            "or the NAT lets no answer in");
    } else {
        theLog.WriteTimedLine(
            "I can't receive any response from the STUN server, lifetime test stop!");
        Fail("no response from the STUN server");
    }
}

void CMappingLifetime::StartDoubling() {
    m_phase = Phase::Doubling;
    const std::uint64_t now = m_clock();
    m_endMs = now + m_config.timing.capMs + m_config.maxMs + ProbeSpanMs(m_config);
    std::vector<std::uint64_t> idle;
    for (std::uint64_t t = std::max(m_config.firstIdleMs, kSecond); t < m_config.maxMs; t *= 2)
        idle.push_back(t / kSecond * kSecond);
    idle.push_back(m_config.maxMs / kSecond * kSecond);
    std::string list;
    for (std::size_t i = 0; i < idle.size(); ++i)
        list += (i == 0                 ? ""
                 : i + 1 == idle.size() ? " and "
                                        : ", ") +
                std::to_string(idle[i] / kSecond);
    theLog.WriteTimedLine("Idle trials of %s s at once, each on a fresh socket...", list.c_str());
    for (const std::uint64_t t : idle) {
        if (!OpenTrial(t))
            return;
    }
}

void CMappingLifetime::NextBisection() {
    m_phase = Phase::Bisecting;
    const std::uint64_t a = m_outcome.aliveMs.value_or(0);
    if (!m_outcome.expiredMs || m_voidInARow >= kMaxVoidInARow) {
        Finish();
        return;
    }
    const std::uint64_t b = *m_outcome.expiredMs;
    if (b <= a || b - a <= std::max(kResolutionMs, a / 10)) {
        Finish();
        return;
    }
    std::uint64_t t = std::max((a + b) / 2 / kSecond * kSecond, a + kSecond);
    // No longer than still fits before the end.
    const std::uint64_t now = m_clock();
    const std::uint64_t overhead = kBindingAllowanceMs + ProbeSpanMs(m_config);
    const std::uint64_t room = m_endMs > now + overhead ? m_endMs - now - overhead : 0;
    t = std::min(t, room / kSecond * kSecond);
    if (t <= a || t >= b) {
        theLog.WriteTimedLine("No further trial fits before the end");
        Finish();
        return;
    }
    theLog.WriteTimedLine("Idle trial of %s on a fresh socket (at least %s, at most %s so far)...",
                          Seconds(t).c_str(), Seconds(a).c_str(), Seconds(b).c_str());
    OpenTrial(t);
}

void CMappingLifetime::Fail(const std::string& problem) {
    m_outcome.problem = problem;
    theLog.WriteTimedLine("The mapping lifetime cannot be measured: %s", problem.c_str());
    Finish();
}

void CMappingLifetime::CloseAll() {
    for (Trial& t : m_trials) {
        if (t.socket >= 0)
            m_transport.Close(t.socket);
    }
    m_trials.clear();
    if (m_ySocket >= 0)
        m_transport.Close(m_ySocket);
    m_ySocket = -1;
}

void CMappingLifetime::Stop() {
    m_checkThread.Check();
    if (!m_running)
        return;
    m_running = false;
    m_outcome.interrupted = true;
    CloseAll();
}

void CMappingLifetime::Finish() {
    m_running = false;
    CloseAll();
    if (m_dropped > 0)
        theLog.WriteTimedLine("Dropped %llu datagrams that answered no request of this test",
                              static_cast<unsigned long long>(m_dropped));
    LifetimeOutcome& o = m_outcome;
    o.finished = true;
    // A control trial alone measured nothing.
    if (!o.Determined())
        o.aliveMs.reset();
    o.lines.clear();
    o.lines.push_back(LifetimeText(o));
    if (const std::optional<std::uint64_t> keep = o.KeepaliveMs())
        o.lines.push_back("KEEP-ALIVE: send something at least every " + Seconds(*keep));
    if (o.Determined())
        o.lines.push_back("METHOD: RESPONSE-PORT, answered from " + FormatEndpoint(o.server) +
                          ", the address every trial socket sent to");
    else if (!o.problem.empty())
        o.lines.push_back("STUN SERVER: " + o.problem);
    LogFramedSummary("NAT Mapping Lifetime Result Summarize", o.lines);
}
