// The port allocation rule test (steps 6 to 8) and, for the symmetric rules, the exceptional
// behaviour test (steps 9 and 10).

#include <cstdio>

#include "core/log.h"
#include "engine/nat_prober.h"
#include "engine/prober_util.h"

using namespace prober;

void CNatProber::StartAllocationCheck() {
    theLog.WriteLine("");
    theLog.WriteTimedLine("NAT Port allocate rule check start...");
    m_allocRule = AllocUnknown;
    m_allocPortA = m_allocPortB = m_allocPortC = 0;
    Ask(kMsgAllocTestA, m_server1Ip, m_server1Port, kProbeSlot);
    AwaitStep(StepAllocA);
    theLog.WriteTimedLine("Request STUN Server1 socketA my MAPPED-ADDRESS...");
}

void CNatProber::OnAllocReplyA(const ReceivedMessage& msg) {
    m_allocPortA = PortBody(msg);
    m_outcome.allocPortA = HostPort(m_allocPortA);
    Ask(kMsgAllocTestB, m_server1Ip, Server1SecondPort(), kProbeSlot);
    AwaitStep(StepAllocB);
    WriteAllocPort(0, m_allocPortA);
    theLog.WriteTimedLine("Request STUN Server1 socketB my MAPPED-ADDRESS...");
}

void CNatProber::OnAllocReplyB(const ReceivedMessage& msg) {
    m_allocPortB = PortBody(msg);
    m_outcome.allocPortB = HostPort(m_allocPortB);
    Ask(kMsgAllocTestC, m_server2Ip, m_server2Port, kProbeSlot);
    AwaitStep(StepAllocC);
    WriteAllocPort(1, m_allocPortB);
    theLog.WriteTimedLine("Request STUN Server2 socketA my MAPPED-ADDRESS...");
}

void CNatProber::OnAllocReplyC(const ReceivedMessage& msg) {
    m_allocPortC = PortBody(msg);
    m_outcome.allocPortC = HostPort(m_allocPortC);
    WriteAllocPort(2, m_allocPortC);
    ReportAllocationResult(0);
}

void CNatProber::WriteAllocPort(int which, std::uint16_t port) {
    static constexpr const char* kWho[] = {"Server1 socketA", "Server1 socketB", "Server2 socketA"};
    theLog.WriteTimedLine("STUN %s reports my UDP NAT Port as %d", TextOf(kWho, which),
                          HostPort(port));
}

void CNatProber::ReportAllocationResult(int outcome) {
    WriteAllocationVerdict(outcome);
    StartExceptionalCheck();
}

void CNatProber::WriteAllocationVerdict(int outcome) {
    if (outcome == 0) {
        // Equality only: no distance between ports is judged.
        if (m_allocPortA == m_allocPortB) {
            m_allocRule = m_allocPortB == m_allocPortC ? AllocNotSymmetric : AllocAddressSensitive;
        } else {
            m_allocRule = AllocPortSensitive;
        }
    } else if (outcome == -1 || outcome == -2) {
        theLog.WriteTimedLine("STUN Server1 has no response, NAT Port Allocation Rule check stop.");
    } else if (outcome == -3) {
        theLog.WriteTimedLine("STUN Server2 has no response, NAT Port Allocation Rule check stop.");
    }
    if (m_allocRule >= AllocUnknown && m_allocRule <= AllocPortSensitive) {
        theLog.WriteLine("");
        char line[128];
        std::snprintf(line, sizeof line, "PORT ALLOCATION RULE :    %s",
                      AllocRuleText(m_allocRule));
        theLog.WriteLine("%s", line);
        AddResultLine(line);
        m_outcome.allocRule = m_allocRule;
    }
}

bool CNatProber::AllocRuleIsSymmetric() const {
    return m_allocRule == AllocAddressSensitive || m_allocRule == AllocPortSensitive;
}

void CNatProber::StartExceptionalCheck() {
    if (!AllocRuleIsSymmetric()) {
        StartFriendPortQuery();
        return;
    }
    theLog.WriteLine("");
    theLog.WriteTimedLine("NAT Port allocate rule Exceptional Behavior check start...");
    m_exceptPort1 = m_exceptPort2 = 0;
    Ask(kMsgExceptTest1, m_server1Ip, m_server1Port, kExceptSlot1);
    AwaitStep(StepExcept1);
}

void CNatProber::OnExceptReply1(const ReceivedMessage& msg) {
    m_exceptPort1 = PortBody(msg);
    m_outcome.exceptPort1 = HostPort(m_exceptPort1);
    Ask(kMsgExceptTest2, m_server1Ip, m_server1Port, kExceptSlot2);
    AwaitStep(StepExcept2);
}

void CNatProber::OnExceptReply2(const ReceivedMessage& msg) {
    m_exceptPort2 = PortBody(msg);
    m_outcome.exceptPort2 = HostPort(m_exceptPort2);
    ReportExceptionalResult(0);
}

void CNatProber::ReportExceptionalResult(int outcome) {
    WriteExceptionalVerdict(outcome, LocalPort(kExceptSlot1), LocalPort(kExceptSlot2));
    StartFriendPortQuery();
}

void CNatProber::WriteExceptionalVerdict(int outcome, std::uint16_t localPort1,
                                         std::uint16_t localPort2) {
    if (outcome == -1) {
        theLog.WriteTimedLine(
            "STUN Server1 has no response, NAT Port allocate rule Exceptional Behavior check "
            "stop.");
    } else if (outcome == 0) {
        // Both compared in host order; a socket whose port cannot be read counts as 0.
        const bool kept =
            HostPort(m_exceptPort1) == localPort1 && HostPort(m_exceptPort2) == localPort2;
        const char* line = kept ? "NAT PORT ALLOCATE RULE HAS EXCEPTIONAL BEHAVIOR."
                                : "NAT PORT ALLOCATE RULE HAS NO EXCEPTIONAL BEHAVIOR.";
        theLog.WriteLine("%s", line);
        AddResultLine(line);
        m_outcome.exceptional = kept;
    }
}
