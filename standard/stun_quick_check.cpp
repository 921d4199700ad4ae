#include "standard/stun_modes.h"

#include <algorithm>

#include "core/log.h"
#include "net/stun_message.h"

void CStunQuickCheck::Start(const StunCheckConfig& config) {
    BeginRun(config);
    theLog.WriteLine("");
    theLog.WriteTimedLine(
        "Quick mode: after test I the tests run at once, each on a fresh socket, and wait for a "
        "missing response as long as the measured round trip asks");
    m_slots = {};
    m_rtt = {};
    m_mapDone = m_hairDone = m_filtDone = false;
    m_filtProblem.clear();
    StartCheck("mapping behaviour", Test::MapI, m_mapSocket);
}

void CStunQuickCheck::Request(Test test, int socketId, const Endpoint& to,
                              std::uint32_t changeFlags, const Endpoint& expectFrom) {
    Slot& slot = SlotOf(test);
    slot.state = SlotState::Waiting;
    const StunQuickTiming& q = m_config.quickTiming;
    // Test I goes before any round trip is known, at RFC 5389's first interval, each try a
    // transaction of its own: its answer then names the try, and a loss before it never passes
    // for a slow path (nor a slow path for a loss).
    if (test == Test::MapI) {
        Launch(slot.txn, test, socketId, to, changeFlags, expectFrom,
               ScheduleRule::Fixed(q.firstRtoMs, q.transmissions, q.firstCapMs), true);
    } else {
        Launch(slot.txn, test, socketId, to, changeFlags, expectFrom, m_rule);
    }
}

bool CStunQuickCheck::Listening(int socketId) const {
    return socketId == m_mapSocket || socketId == m_hairSocket || socketId == m_filtSocket;
}

std::vector<const CStunMachine::Transaction*> CStunQuickCheck::Waiting() const {
    std::vector<const Transaction*> waiting;
    for (const Slot& slot : m_slots) {
        if (m_running && slot.state == SlotState::Waiting)
            waiting.push_back(&slot.txn);
    }
    return waiting;
}

std::uint64_t CStunQuickCheck::LaterMs() const {
    // Before test I's answer its round trip and so the rule are unknown: the tests at once, then
    // the hairpinned request after hairpinning test I's answer, each at the usual cap.
    if (SlotOf(Test::MapI).state == SlotState::Waiting)
        return 2 * m_config.quickTiming.capMs;
    // Every other request has gone out already.
    return SlotOf(Test::HairI).state == SlotState::Waiting ? GiveUpAfter(m_rule) : 0;
}

void CStunQuickCheck::OnMessage(int socketId, const Endpoint& from, const StunMessage& msg) {
    Slot* slot = nullptr;
    for (Slot& s : m_slots) {
        if (s.state == SlotState::Waiting && s.txn.socket == socketId &&
            s.txn.TryOf(msg.transactionId) >= 0)
            slot = &s;
    }
    if (msg.method != kStunMethodBinding || slot == nullptr) {
        Drop(from, &msg);
        return;
    }
    const Judged j = Judge(slot->txn, from, msg);
    const Test phase = slot->txn.test;
    switch (j.judgement) {
        case Judgement::Ignore:
            return;
        case Judgement::Hairpinned:
            theLog.WriteTimedLine("My own request came back through the NAT");
            slot->state = SlotState::Answered;
            slot->txn.schedule.Cancel();
            break;
        case Judgement::Lacks5780:
            // Only change requests get here: the filtering test ends without a verdict.
            LogLacks5780(j.why);
            if (m_filtProblem.empty())
                m_filtProblem = j.why;
            Cancel({Test::FiltI, Test::FiltII, Test::FiltIII});
            break;
        case Judgement::Refused:
        case Judgement::Unusable:
            slot->state = SlotState::GaveUp;
            slot->txn.schedule.Cancel();
            if (phase == Test::MapI) {
                TestIFailed(j.why);
                return;
            }
            // A later answer naming an unusable address: the server cannot do these tests.
            if (j.judgement == Judgement::Unusable)
                ServerLacks5780(j.why);
            break;
        case Judgement::Answer:
            if (!OnAnswer(*slot, j.reply, msg))
                return;  // test I's follow-ups could not open a socket: the run has ended
            break;
    }
    Decide();
}

bool CStunQuickCheck::OnAnswer(Slot& slot, const Reply& reply, const StunMessage& msg) {
    const Test test = slot.txn.test;
    slot.state = SlotState::Answered;
    slot.mapped = reply.mapped;
    switch (test) {
        case Test::MapI:
            m_rtt.Add(Answered(slot.txn, msg.transactionId, m_clock()));
            AfterTestI(reply);
            return m_running;
        case Test::MapSecond:
            theLog.WriteTimedLine("The second STUN server reports my UDP address as %s",
                                  Ep(reply.mapped).c_str());
            break;
        case Test::FiltII:
        case Test::FiltIII:
            LogChangeResponse(slot.txn);
            break;
        default:
            // The tests' answers interleave: each line names its test.
            theLog.WriteTimedLine("STUN server reports my UDP address as %s (%s)",
                                  Ep(reply.mapped).c_str(), TestName(test));
            if (test == Test::HairI)
                SendToOwnMapping(reply.mapped);
            break;
    }
    slot.txn.schedule.Cancel();
    return true;
}

void CStunQuickCheck::OnGaveUp(Transaction& t) {
    Slot& slot = SlotOf(t.test);
    slot.state = SlotState::GaveUp;
    GiveUp(slot);
}

void CStunQuickCheck::GiveUp(Slot& slot) {
    LogGaveUp(slot.txn, true);
    if (slot.txn.test == Test::MapI)
        TestIUnanswered();
}

void CStunQuickCheck::Cancel(std::initializer_list<Test> phases) {
    for (const Test p : phases) {
        Slot& slot = SlotOf(p);
        if (slot.state == SlotState::Waiting) {
            slot.state = SlotState::Cancelled;
            slot.txn.schedule.Cancel();
        }
    }
}

void CStunQuickCheck::AfterTestI(const Reply& reply) {
    const Endpoint& server = m_config.server;
    const std::string why = TakeTestI(reply);
    SetRule();
    StartMappingTests(reply, why);
    if (why.empty()) {
        // Sent at once; its answer counts only when test II's mapped address differs from I's.
        theLog.WriteTimedLine("Test III: Binding request to %s (other IP, other port), at once...",
                              Ep(*reply.other).c_str());
        Request(Test::MapIII, m_mapSocket, *reply.other, 0, *reply.other);
    }

    if (!StartCheck("hairpinning", Test::HairI, m_hairSocket))
        return;
    if (m_outcome.rfc5780 != true) {
        m_filtDone = true;
        return;
    }
    if (!StartCheck("filtering behaviour", Test::FiltI, m_filtSocket))
        return;
    // All three at once: each change response passes the filter or not by what the socket sent,
    // and every request goes to the same primary address.
    theLog.WriteTimedLine(
        "Test II: CHANGE-REQUEST asks for the response from the other IP and port %s, at once...",
        Ep(*reply.other).c_str());
    Request(Test::FiltII, m_filtSocket, server, kStunChangeIp | kStunChangePort, *reply.other);
    Endpoint portFrom = server;
    portFrom.port = reply.other->port;
    theLog.WriteTimedLine(
        "Test III: PORT CHANGE-REQUEST asks for the response from the other port %s, at once...",
        Ep(portFrom).c_str());
    Request(Test::FiltIII, m_filtSocket, server, kStunChangePort, portFrom);
}

void CStunQuickCheck::SetRule() {
    const StunQuickTiming& q = m_config.quickTiming;
    m_rule = QuickRule(m_rtt, q.firstRtoMs,
                       {.minIntervalMs = q.minRtoMs,
                        .factor = q.rttFactor,
                        .transmissions = q.transmissions,
                        .capMs = q.capMs,
                        .fitTriesInCap = true});
    // Every later request gives up this long after its first transmission when unanswered.
    const double giveUp = static_cast<double>(GiveUpAfter(m_rule)) / 1000.0;
    const auto ms = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    if (m_rtt.sampleMs) {
        theLog.WriteTimedLine(
            "Round trip %llu ms: quick mode retransmits every %llu ms, %d transmissions, and "
            "gives up after %.1f s",
            ms(*m_rtt.sampleMs), ms(m_rule.intervalMs), q.transmissions, giveUp);
    } else {
        // Test I was answered after a retransmission: which one is unknown (Karn).
        theLog.WriteTimedLine(
            "Round trip at most %llu ms: quick mode retransmits every %llu ms, %d transmissions, "
            "and gives up after %.1f s",
            ms(m_rtt.boundMs.value_or(0)), ms(m_rule.intervalMs), q.transmissions, giveUp);
    }
    if (m_rule.capMs > q.capMs) {
        theLog.WriteTimedLine(
            "A slow path: each test may wait up to %.1f s, longer than quick mode's usual %.1f s",
            static_cast<double>(m_rule.capMs) / 1000.0, static_cast<double>(q.capMs) / 1000.0);
    }
}

void CStunQuickCheck::Decide() {
    if (!m_running || SlotOf(Test::MapI).state != SlotState::Answered)
        return;
    if (!m_mapDone)
        DecideMapping();
    if (!m_hairDone)
        DecideHairpin();
    if (!m_filtDone)
        DecideFiltering();
    bool waiting = false;
    for (const Slot& slot : m_slots)
        waiting = waiting || slot.state == SlotState::Waiting;
    // Nothing left to wait for ends the run whatever the tests say, so it can never hang.
    if ((m_mapDone && m_hairDone && m_filtDone) || !waiting) {
        if (m_outcome.rfc5780 != true) {
            // The full run would not have filtered at all.
            m_outcome.filtering.reset();
        } else if (!m_filtProblem.empty()) {
            m_outcome.rfc5780 = false;
            m_outcome.rfc5780Problem = m_filtProblem;
        }
        Finish();
    }
}

void CStunQuickCheck::MappingDone() {
    m_mapDone = true;
    Cancel({Test::MapII, Test::MapIII, Test::MapSecond});
    SettleMapping();
}

void CStunQuickCheck::DecideMapping() {
    const Slot& ii = SlotOf(Test::MapII);
    const Slot& iii = SlotOf(Test::MapIII);
    const Slot& second = SlotOf(Test::MapSecond);
    const Endpoint& mapped = *m_outcome.mapped;
    if (second.state != SlotState::Unused) {
        if (second.state == SlotState::Waiting)
            return;
        if (second.state == SlotState::Answered)
            TakeSecondServer(second.mapped);
        MappingDone();
        return;
    }
    if (ii.state == SlotState::Unused) {
        MappingDone();  // no RFC 5780 and no second server: nothing more to ask
        return;
    }
    if (ii.state == SlotState::Waiting)
        return;
    const bool answered = ii.state == SlotState::Answered;
    if (answered && ii.mapped == mapped) {
        m_outcome.mapping = StunBehaviour::EndpointIndependent;
    } else if (answered && iii.state == SlotState::Answered) {
        m_outcome.mapping = iii.mapped == ii.mapped ? StunBehaviour::AddressDependent
                                                    : StunBehaviour::AddressAndPortDependent;
    } else if (answered && iii.state == SlotState::Waiting) {
        return;  // test III counts now that test II's mapping differs from test I's
    } else {
        // Test II, or test III after it, went unanswered.
        ServerLacks5780("no answer from its other address " + Ep((answered ? iii : ii).txn.to));
    }
    MappingDone();
}

void CStunQuickCheck::DecideHairpin() {
    const Slot& hairI = SlotOf(Test::HairI);
    const Slot& hairpin = SlotOf(Test::Hairpin);
    if (hairI.state == SlotState::Waiting || hairpin.state == SlotState::Waiting)
        return;
    if (hairpin.state == SlotState::Answered)
        m_outcome.hairpinning = true;
    else if (hairpin.state == SlotState::GaveUp)
        m_outcome.hairpinning = false;
    m_hairDone = true;
    CloseSocket(m_hairSocket);
}

void CStunQuickCheck::DecideFiltering() {
    const Slot& i = SlotOf(Test::FiltI);
    const Slot& ii = SlotOf(Test::FiltII);
    const Slot& iii = SlotOf(Test::FiltIII);
    const auto done = [this] {
        m_filtDone = true;
        Cancel({Test::FiltI, Test::FiltII, Test::FiltIII});
        CloseSocket(m_filtSocket);
    };
    // A problem with the server (found here or by the mapping test) ends the test unjudged.
    if (!m_filtProblem.empty() || m_outcome.rfc5780 != true) {
        done();
        return;
    }
    if (ii.state == SlotState::Answered) {
        m_outcome.filtering = StunBehaviour::EndpointIndependent;
        done();
        return;
    }
    // Test III's answer means address-dependent only once test II has certainly gone unanswered.
    if (ii.state == SlotState::Waiting)
        return;
    if (iii.state == SlotState::Answered) {
        m_outcome.filtering = StunBehaviour::AddressDependent;
        done();
        return;
    }
    if (iii.state == SlotState::Waiting || i.state == SlotState::Waiting)
        return;
    // Neither change response, and test I tells whether the server answers this socket at all.
    if (i.state == SlotState::Answered)
        m_outcome.filtering = StunBehaviour::AddressAndPortDependent;
    done();
}
