#include "standard/stun_modes.h"

#include <iterator>

#include "core/log.h"
#include "net/stun_message.h"

std::vector<const CStunMachine::Transaction*> CStunFullCheck::Waiting() const {
    if (!m_running)
        return {};
    return {&m_txn};
}

void CStunFullCheck::Start(const StunCheckConfig& config) {
    BeginRun(config);
    StartCheck("mapping behaviour", Test::MapI, m_mapSocket);
}

ScheduleRule CStunFullCheck::Rule() const {
    const StunTiming& t = m_config.timing;
    return ScheduleRule::Rfc5389(t.rtoMs, t.transmissions, t.lastWaitFactor, t.capMs);
}

std::uint64_t CStunFullCheck::LaterMs() const {
    // The most requests that can still follow each test's, one after another: mapping II and
    // III, the hairpinning pair, filtering I to III. After the second server (only without RFC
    // 5780) the hairpinning pair alone; filtering runs only with RFC 5780, unknown until test I
    // has been answered.
    static constexpr int kLater[] = {7, 6, 5, 2, 4, 3, 2, 1, 0};
    static_assert(std::size(kLater) == kTests);
    int later = kLater[static_cast<std::size_t>(m_txn.test)];
    if (m_outcome.rfc5780 == false && (m_txn.test == Test::HairI || m_txn.test == Test::Hairpin))
        later -= 3;
    return static_cast<std::uint64_t>(later) * GiveUpAfter(Rule());
}

void CStunFullCheck::Request(Test test, int socketId, const Endpoint& to, std::uint32_t changeFlags,
                             const Endpoint& expectFrom) {
    Launch(m_txn, test, socketId, to, changeFlags, expectFrom, Rule());
}

void CStunFullCheck::OnMessage(int /*socketId*/, const Endpoint& from, const StunMessage& msg) {
    if (msg.method != kStunMethodBinding || m_txn.TryOf(msg.transactionId) < 0) {
        Drop(from, &msg);
        return;
    }
    const Judged j = Judge(m_txn, from, msg);
    if (j.judgement == Judgement::Answer) {
        OnReply(j.reply);
    } else if (j.judgement == Judgement::Hairpinned) {
        OnHairpinArrived();
    } else if (m_txn.test == Test::MapI &&
               (j.judgement == Judgement::Refused || j.judgement == Judgement::Unusable)) {
        TestIFailed(j.why);
    } else if (j.judgement == Judgement::Refused) {
        OnTimeout();  // an error response to a later plain request counts as no answer
    } else if (j.judgement == Judgement::Lacks5780 || j.judgement == Judgement::Unusable) {
        ServerLacks5780(j.why);
        Finish();
    }
}

void CStunFullCheck::OnReply(const Reply& reply) {
    const Endpoint& server = m_config.server;
    const std::string mapped = Ep(reply.mapped);
    switch (m_txn.test) {
        case Test::MapI:
            if (!StartMappingTests(reply, TakeTestI(reply)))
                AfterMapping();
            return;
        case Test::MapII:
            theLog.WriteTimedLine("STUN server reports my UDP address as %s", mapped.c_str());
            if (reply.mapped == *m_outcome.mapped) {
                m_outcome.mapping = StunBehaviour::EndpointIndependent;
                AfterMapping();
                return;
            }
            m_mapII = reply.mapped;
            theLog.WriteTimedLine("Test III: Binding request to %s (other IP, other port)...",
                                  Ep(*m_outcome.otherAddress).c_str());
            Request(Test::MapIII, m_mapSocket, *m_outcome.otherAddress, 0, *m_outcome.otherAddress);
            return;
        case Test::MapIII:
            theLog.WriteTimedLine("STUN server reports my UDP address as %s", mapped.c_str());
            m_outcome.mapping = reply.mapped == m_mapII ? StunBehaviour::AddressDependent
                                                        : StunBehaviour::AddressAndPortDependent;
            AfterMapping();
            return;
        case Test::MapSecond:
            theLog.WriteTimedLine("The second STUN server reports my UDP address as %s",
                                  mapped.c_str());
            TakeSecondServer(reply.mapped);
            AfterMapping();
            return;
        case Test::HairI:
            theLog.WriteTimedLine("STUN server reports my UDP address as %s", mapped.c_str());
            SendToOwnMapping(reply.mapped);
            return;
        case Test::FiltI:
            theLog.WriteTimedLine("STUN server reports my UDP address as %s", mapped.c_str());
            theLog.WriteTimedLine(
                "Test II: CHANGE-REQUEST asks for the response from the other IP and port %s...",
                Ep(*m_outcome.otherAddress).c_str());
            Request(Test::FiltII, m_filtSocket, server, kStunChangeIp | kStunChangePort,
                    *m_outcome.otherAddress);
            return;
        case Test::FiltII:
        case Test::FiltIII:
            // From the other IP and port: nothing filtered; from the other port alone: only
            // addresses never sent to are.
            LogChangeResponse(m_txn);
            m_outcome.filtering = m_txn.test == Test::FiltII ? StunBehaviour::EndpointIndependent
                                                             : StunBehaviour::AddressDependent;
            Finish();
            return;
        case Test::Hairpin:
            return;
    }
}

void CStunFullCheck::OnHairpinArrived() {
    theLog.WriteTimedLine("My own request came back through the NAT");
    m_outcome.hairpinning = true;
    CloseSocket(m_hairSocket);
    StartFiltering();
}

void CStunFullCheck::OnTimeout() {
    const std::string to = Ep(m_txn.to);
    LogGaveUp(m_txn, false);
    switch (m_txn.test) {
        case Test::MapI:
            TestIUnanswered();
            return;
        case Test::MapII:
        case Test::MapIII:
            ServerLacks5780("no answer from its other address " + to);
            AfterMapping();
            return;
        case Test::MapSecond:
            AfterMapping();
            return;
        case Test::FiltI:
            Finish();
            return;
        case Test::HairI:
            CloseSocket(m_hairSocket);
            StartFiltering();
            return;
        case Test::Hairpin:
            m_outcome.hairpinning = false;
            CloseSocket(m_hairSocket);
            StartFiltering();
            return;
        case Test::FiltII: {
            Endpoint from = m_config.server;
            from.port = m_outcome.otherAddress->port;
            theLog.WriteTimedLine(
                "Test III: PORT CHANGE-REQUEST asks for the response from the other port %s...",
                Ep(from).c_str());
            Request(Test::FiltIII, m_filtSocket, m_config.server, kStunChangePort, from);
            return;
        }
        case Test::FiltIII:
            m_outcome.filtering = StunBehaviour::AddressAndPortDependent;
            Finish();
            return;
    }
}

void CStunFullCheck::AfterMapping() {
    SettleMapping();
    StartCheck("hairpinning", Test::HairI, m_hairSocket);
}

void CStunFullCheck::StartFiltering() {
    if (m_outcome.rfc5780 != true) {
        Finish();
        return;
    }
    StartCheck("filtering behaviour", Test::FiltI, m_filtSocket);
}
