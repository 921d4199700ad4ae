// The end of a quick check: what its sockets saw, written as the same observations and verdict
// lines the stepwise check writes for the same replies, then the same summary.

#include "core/log.h"
#include "engine/nat_prober.h"
#include "engine/prober_util.h"

using namespace prober;

std::int32_t CNatProber::QuickFilterType(const QuickFindings& f) {
    // The stepwise check stops at a silent Server1 (binding or change acknowledgement).
    if (!f.server1) {
        theLog.WriteTimedLine("%s", kNoServerResponse);
        m_outcome.silentServer = 1;
        return FilterUnknown;
    }
    m_mappedIp = f.server1->ip;
    m_mappedPort = f.server1->port;
    m_outcome.mappedIp = m_mappedIp;
    m_outcome.mappedPort = m_mappedPort;
    WriteReportedAddress(1, m_mappedIp, m_mappedPort);
    if (!f.changeAcked) {
        theLog.WriteTimedLine("%s", kNoServerResponse);
        m_outcome.silentServer = 1;
        return FilterUnknown;
    }
    theLog.WriteTimedLine("Receive STUN Server1 CHANGE-REQUEST response");
    const bool local = IsLocalAddress(m_mappedIp);
    if (f.changeReplied) {
        theLog.WriteTimedLine("Receive STUN Server2 CHANGE-REQUEST response");
        return local ? FilterOpen : FilterFullCone;
    }
    if (local) {
        // As the stepwise check: filtering is only read from a Server2 that is alive.
        if (f.mappingServer2)
            return FilterSymmetric;
        theLog.WriteTimedLine(
            "STUN Server2 has no response, NAT Incoming packages filter check stop.");
        m_outcome.silentServer = 2;
        return FilterUnknown;
    }
    if (!f.mappingServer1 || !f.mappingServer2) {
        theLog.WriteTimedLine("%s", kNoServerResponse);
        m_outcome.silentServer = f.mappingServer1 ? 2 : 1;
        return FilterUnknown;
    }
    WriteReportedAddress(2, f.mappingServer2->ip, f.mappingServer2->port);
    // One socket's mapping as both servers saw it: a new one per destination is symmetric.
    if (!(*f.mappingServer1 == *f.mappingServer2))
        return FilterSymmetric;
    return f.portChangeReplied ? FilterIpRestricted : FilterPortRestricted;
}

void CNatProber::ReportQuickFindings(const QuickFindings& f) {
    m_engineThread.Check();
    m_loopbackSeen = f.loopback ? 1 : 0;
    m_filterType = QuickFilterType(f);
    WriteFilterVerdict();
    if (m_filterType < FilterFullCone || m_filterType > FilterSymmetric) {
        SummarizeResults();
        return;
    }

    // The allocation replies as the stepwise check takes them: in order, up to the first missing.
    m_allocRule = AllocUnknown;
    m_allocPortA = m_allocPortB = m_allocPortC = 0;
    int outcome = 0;
    const std::optional<std::uint16_t>* replies[] = {&f.allocA, &f.allocB, &f.allocC};
    std::uint16_t* fields[] = {&m_allocPortA, &m_allocPortB, &m_allocPortC};
    std::optional<std::uint16_t>* outcomes[] = {&m_outcome.allocPortA, &m_outcome.allocPortB,
                                                &m_outcome.allocPortC};
    for (int i = 0; i < 3; ++i) {
        if (!*replies[i]) {
            outcome = -(i + 1);
            break;
        }
        *fields[i] = **replies[i];
        *outcomes[i] = HostPort(*fields[i]);
        WriteAllocPort(i, *fields[i]);
    }
    WriteAllocationVerdict(outcome);

    if (AllocRuleIsSymmetric()) {
        m_exceptPort1 = f.except1.value_or(0);
        m_exceptPort2 = f.except2.value_or(0);
        if (f.except1)
            m_outcome.exceptPort1 = HostPort(m_exceptPort1);
        if (f.except1 && f.except2)
            m_outcome.exceptPort2 = HostPort(m_exceptPort2);
        WriteExceptionalVerdict(f.except1 && f.except2 ? 0 : -1, f.exceptLocal1, f.exceptLocal2);
    }

    if (!f.port9802) {
        theLog.WriteTimedLine("%s", kNoServerResponse);
        SummarizeResults();
        return;
    }
    m_friendSockMappedPort = *f.port9802;
    m_outcome.friendSockMappedPort = HostPort(m_friendSockMappedPort);
    theLog.WriteTimedLine("STUN Server1 reports my 9802 port as %d",
                          HostPort(m_friendSockMappedPort));
    if (f.friendIp == 0) {
        theLog.WriteTimedLine("I haven't found any friend");
        SummarizeResults();
        return;
    }
    // m_friendIp stays the responder's: the quick check keeps its friend to itself.
    WriteFriendFound(f.friendIp, f.friendPort);
    if (f.friendReport) {
        WriteMultiClientVerdict(*f.friendReport);
    } else {
        WriteFriendReportMissing();
    }
    SummarizeResults();
}
