// The port allocation rule test (steps 6 to 8) and, for the symmetric rules, the exceptional
// behaviour test (steps 9 and 10).

#include <cstdio>

#include "core/log.h"
#include "engine/nat_prober.h"
#include "engine/prober_util.h"
#include "net/socket_layer.h"

using namespace prober;

const char* AllocRuleText(std::int32_t code) {
    switch (code) {
        case AllocUnknown:
            return "UNKNOWN";
        case AllocNotSymmetric:
            return "NOT SYMMETRIC NAT";
        case AllocAddressSensitive:
            return "ADDRESS SENSITIVE SYMMETRIC NAT";
        case AllocPortSensitive:
            return "PORT SENSITIVE SYMMETRIC NAT";
        default:
            return "";
    }
}

void CNatProber::StartAllocationCheck() {
    theLog.WriteLine("");
    theLog.WriteTimedLine("NAT Port allocate rule check start...");
    m_allocRule = AllocUnknown;
    m_allocPortA = m_allocPortB = m_allocPortC = 0;
    SendMessage(MakeRequest(kMsgAllocTestA, m_server1Ip, m_server1Port, Socket(kProbeSlot)));
    ArmTimeout();
    m_step = StepAllocA;
    theLog.WriteTimedLine("Request STUN Server1 socketA my MAPPED-ADDRESS...");
}

void CNatProber::OnAllocReplyA(const ReceivedMessage& msg) {
    m_allocPortA = PortBody(msg);
    m_outcome.allocPortA = HostPort(m_allocPortA);
    SendMessage(MakeRequest(kMsgAllocTestB, m_server1Ip, Server1SecondPort(), Socket(kProbeSlot)));
    ArmTimeout();
    m_step = StepAllocB;
    theLog.WriteTimedLine("STUN Server1 socketA reports my UDP NAT Port as %d",
                          HostPort(m_allocPortA));
    theLog.WriteTimedLine("Request STUN Server1 socketB my MAPPED-ADDRESS...");
}

void CNatProber::OnAllocReplyB(const ReceivedMessage& msg) {
    m_allocPortB = PortBody(msg);
    m_outcome.allocPortB = HostPort(m_allocPortB);
    SendMessage(MakeRequest(kMsgAllocTestC, m_server2Ip, m_server2Port, Socket(kProbeSlot)));
    ArmTimeout();
    m_step = StepAllocC;
    theLog.WriteTimedLine("STUN Server1 socketB reports my UDP NAT Port as %d",
                          HostPort(m_allocPortB));
    theLog.WriteTimedLine("Request STUN Server2 socketA my MAPPED-ADDRESS...");
}

void CNatProber::OnAllocReplyC(const ReceivedMessage& msg) {
    m_allocPortC = PortBody(msg);
    m_outcome.allocPortC = HostPort(m_allocPortC);
    theLog.WriteTimedLine("STUN Server2 socketA reports my UDP NAT Port as %d",
                          HostPort(m_allocPortC));
    ReportAllocationResult(0);
}

void CNatProber::ReportAllocationResult(int outcome) {
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
    StartExceptionalCheck();
}

void CNatProber::StartExceptionalCheck() {
    if (m_allocRule != AllocAddressSensitive && m_allocRule != AllocPortSensitive) {
        StartFriendPortQuery();
        return;
    }
    theLog.WriteLine("");
    theLog.WriteTimedLine("NAT Port allocate rule Exceptional Behavior check start...");
    m_exceptPort1 = m_exceptPort2 = 0;
    SendMessage(MakeRequest(kMsgExceptTest1, m_server1Ip, m_server1Port, Socket(kExceptSlot1)));
    ArmTimeout();
    m_step = StepExcept1;
}

void CNatProber::OnExceptReply1(const ReceivedMessage& msg) {
    m_exceptPort1 = PortBody(msg);
    m_outcome.exceptPort1 = HostPort(m_exceptPort1);
    SendMessage(MakeRequest(kMsgExceptTest2, m_server1Ip, m_server1Port, Socket(kExceptSlot2)));
    ArmTimeout();
    m_step = StepExcept2;
}

void CNatProber::OnExceptReply2(const ReceivedMessage& msg) {
    m_exceptPort2 = PortBody(msg);
    m_outcome.exceptPort2 = HostPort(m_exceptPort2);
    ReportExceptionalResult(0);
}

void CNatProber::ReportExceptionalResult(int outcome) {
    if (outcome == -1) {
        theLog.WriteTimedLine(
            "STUN Server1 has no response, NAT Port allocate rule Exceptional Behavior check "
            "stop.");
    } else if (outcome == 0) {
        // Both compared in host order; a socket whose port cannot be read counts as 0.
        const SocketHandle s1 = Socket(kExceptSlot1);
        const SocketHandle s2 = Socket(kExceptSlot2);
        const std::uint16_t local1 = s1 == kInvalidSocket ? 0 : SocketLocalPort(s1);
        const std::uint16_t local2 = s2 == kInvalidSocket ? 0 : SocketLocalPort(s2);
        const bool kept = HostPort(m_exceptPort1) == local1 && HostPort(m_exceptPort2) == local2;
        const char* line = kept ? "NAT PORT ALLOCATE RULE HAS EXCEPTIONAL BEHAVIOR."
                                : "NAT PORT ALLOCATE RULE HAS NO EXCEPTIONAL BEHAVIOR.";
        theLog.WriteLine("%s", line);
        AddResultLine(line);
        m_outcome.exceptional = kept;
    }
    StartFriendPortQuery();
}
