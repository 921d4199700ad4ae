// The incoming filter test (steps 1 to 5) and, alongside, the UDP loopback test.

#include <cstdio>

#include "core/log.h"
#include "engine/nat_prober.h"
#include "engine/prober_util.h"

using namespace prober;

void CNatProber::ResetResults() {
    m_engineThread.Check();
    m_resultLines.clear();
    m_outcome = CheckOutcome{};
}

void CNatProber::StartFilterCheck() {
    ResetResults();

    // A slot the module does not have, or whose port cannot be read, shows 0.
    int ports[kSocketSlots] = {};
    const int count = m_network != nullptr ? m_network->SocketCount() : 0;
    for (int slot = 0; slot < kSocketSlots && slot < count; ++slot)
        ports[slot] = LocalPort(slot);
    theLog.WriteLine("Local machine port:[%d,%d,%d,%d,%d]", ports[0], ports[1], ports[2], ports[3],
                     ports[4]);
    theLog.WriteLine("");
    theLog.WriteTimedLine("NAT Incoming packages filter check start...");

    m_filterType = FilterUnknown;
    m_server2Probe = Server2Probe::NotAsked;
    if (m_server1Ip == 0 || m_server1Port == 0 || m_server2Ip == 0 || m_server2Port == 0)
        return;

    Ask(kMsgBindingRequest, m_server1Ip, m_server1Port, kProbeSlot);
    theLog.WriteTimedLine("Request STUN Server1 my MAPPED-ADDRESS...");
    m_loopbackSeen = 0;
    AwaitStep(StepServer1Binding);
}

void CNatProber::OnServer1BindingReply(const ReceivedMessage& msg) {
    Retire(msg, kMsgBindingRequest);
    m_mappedIp = EndpointBodyAddress(msg);
    m_mappedPort = EndpointBodyPort(msg);
    m_outcome.mappedIp = m_mappedIp;
    m_outcome.mappedPort = m_mappedPort;
    WriteReportedAddress(1, m_mappedIp, m_mappedPort);

    SendMessage(MakeEndpointRequest(kMsgChangeRequest, m_server2Ip, m_server2Port, m_server1Ip,
                                    m_server1Port, msg.socket));
    theLog.WriteTimedLine(
        "STUN CHANGE-REQUEST requests the server to send the Binding Response with a different IP "
        "and Port...");
    SendMessage(MakeRequest(kMsgLoopbackProbe, m_mappedIp, m_mappedPort, msg.socket));
    theLog.WriteTimedLine("Check NAT udp loopback translation...");
    if (IsLocalAddress(m_mappedIp)) {
        // Unlogged, and answered long before the change reply's time-out runs out (3 tries in
        // 6 s against 13 ticks): see OnChangeReplyTimeout.
        Ask(kMsgBindingRequest, m_server2Ip, m_server2Port, kExceptSlot1);
        m_server2Probe = Server2Probe::Asked;
    }
    AwaitStep(StepChangeAck);
}

void CNatProber::ConfirmServer2(const ReceivedMessage& msg) {
    Retire(msg, kMsgBindingRequest);
    m_server2Probe = Server2Probe::Answered;
}

void CNatProber::OnChangeAck(const ReceivedMessage& msg) {
    Retire(msg, kMsgChangeRequest);
    theLog.WriteTimedLine("Receive STUN Server1 CHANGE-REQUEST response");
    AwaitStep(StepChangeReply);
}

void CNatProber::OnChangeReply(const ReceivedMessage& msg) {
    theLog.WriteTimedLine("Receive STUN Server2 CHANGE-REQUEST response");
    SendMessage(MakeAnswer(kMsgChangedAddressAck, msg));
    m_filterType = IsLocalAddress(m_mappedIp) ? FilterOpen : FilterFullCone;
    ReportFilterResult();
}

void CNatProber::OnChangeReplyTimeout() {
    // No unsolicited packet came through. On a computer with a public address that means a
    // firewall that keeps state per destination, but only if Server2 is alive to send it: a dead
    // Server2 is no property of the path.
    if (IsLocalAddress(m_mappedIp)) {
        if (m_server2Probe == Server2Probe::Answered) {
            m_filterType = FilterSymmetric;
        } else {
            theLog.WriteTimedLine(
                "STUN Server2 has no response, NAT Incoming packages filter check stop.");
            m_filterType = FilterUnknown;
            m_outcome.silentServer = 2;
        }
        ReportFilterResult();
        return;
    }
    Ask(kMsgBindingRequest, m_server2Ip, m_server2Port, kProbeSlot);
    theLog.WriteTimedLine("Request STUN Server2 my MAPPED-ADDRESS...");
    AwaitStep(StepServer2Binding);
}

void CNatProber::OnServer2BindingReply(const ReceivedMessage& msg) {
    Retire(msg, kMsgBindingRequest);
    const std::uint32_t ip = EndpointBodyAddress(msg);
    const std::uint16_t port = EndpointBodyPort(msg);
    WriteReportedAddress(2, ip, port);
    if (ip == m_mappedIp && port == m_mappedPort) {
        SendMessage(MakePortRequest(kMsgPortChangeRequest, m_server2Port, m_server1Ip,
                                    m_server1Port, msg.socket));
        theLog.WriteTimedLine(
            "STUN PORT CHANGE-REQUEST requests the server to send the Binding Response with a "
            "different Port...");
        AwaitStep(StepPortChangeReply);
        return;
    }
    m_filterType = FilterSymmetric;
    ReportFilterResult();
}

void CNatProber::WriteReportedAddress(int server, std::uint32_t ip, std::uint16_t port) {
    const Octets o = AddressOctets(ip);
    theLog.WriteTimedLine("STUN Server%d reports my UDP address as %d.%d.%d.%d:%d", server, o.a,
                          o.b, o.c, o.d, HostPort(port));
}

void CNatProber::OnPortChangeReply(const ReceivedMessage& /*msg*/) {
    m_filterType = FilterIpRestricted;
    ReportFilterResult();
}

void CNatProber::ReportFilterResult() {
    WriteFilterVerdict();
    if (m_filterType >= FilterFullCone && m_filterType <= FilterSymmetric) {
        StartAllocationCheck();
    } else {
        SummarizeResults();
    }
}

void CNatProber::WriteFilterVerdict() {
    if (m_filterType >= FilterUnknown && m_filterType <= FilterSymmetric) {
        theLog.WriteLine("");
        char line[128];
        std::snprintf(line, sizeof line, "NAT INCOMING PACKAGES FILTER :    %s",
                      FilterTypeText(m_filterType));
        theLog.WriteLine("%s", line);
        AddResultLine(line);
        m_outcome.filterType = m_filterType;
    }
    if (m_filterType > FilterOpen) {
        const char* line = m_loopbackSeen ? "UDP LOOPBACK TRANSLATION:  YES(GOOD FOR PEER-TO-PEER)"
                                          : "UDP LOOPBACK TRANSLATION:  NO";
        theLog.WriteLine("%s", line);
        AddResultLine(line);
        m_outcome.loopback = m_loopbackSeen != 0;
    }
}
