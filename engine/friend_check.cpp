// The friend phase of a check (steps 13, 11 and 12: searcher) and the answering of other copies'
// searches (responder, in any step, idle included).

#include "core/log.h"
#include "engine/nat_prober.h"
#include "engine/prober_util.h"

using namespace prober;

void CNatProber::StartFriendPortQuery() {
    m_friendSockMappedPort = 0;
    Ask(kMsgBindingRequest, m_server1Ip, m_server1Port, kPort9802Slot);
    theLog.WriteLine("");
    theLog.WriteTimedLine("Request STUN Server1 my 9802 MAPPED-ADDRESS");
    AwaitStep(StepPort9802);
}

void CNatProber::OnPort9802Reply(const ReceivedMessage& msg) {
    Retire(msg, kMsgBindingRequest);
    m_friendSockMappedPort = EndpointBodyPort(msg);
    m_outcome.friendSockMappedPort = HostPort(m_friendSockMappedPort);
    theLog.WriteTimedLine("STUN Server1 reports my 9802 port as %d",
                          HostPort(m_friendSockMappedPort));
    OnFriendPortQueryDone(0);
}

void CNatProber::OnFriendPortQueryDone(int outcome) {
    if (outcome == 0) {
        StartFriendSearch();
    } else {
        SummarizeResults();
    }
}

void CNatProber::StartFriendSearch() {
    m_friendIp = 0;
    m_friendPort = 0;
    m_foundFriendIp = 0;
    const std::uint16_t searchPort = NetPort(kFriendSearchPort);
    SendMessage(MakeEndpointRequest(kMsgFriendSearch, m_server1Ip, m_server1Port, kBroadcastAddress,
                                    searchPort, Socket(kSearchSlot)));
    // Sent even when no friend is configured (0.0.0.0): the socket layer refuses that
    // destination, and the request runs out its transmissions like any unanswered one.
    SendMessage(MakeEndpointRequest(kMsgFriendSearch, m_server1Ip, m_server1Port, m_configFriendIp,
                                    searchPort, Socket(kProbeSlot)));
    theLog.WriteTimedLine("Start to search a friend...");
    AwaitStep(StepFriendSearch);
}

void CNatProber::OnFriendAnswer(const ReceivedMessage& msg) {
    m_friendIp = msg.fromAddress;
    m_friendPort = msg.fromPort;
    m_foundFriendIp = m_friendIp;
    WriteFriendFound(m_friendIp, m_friendPort);
    OnFriendSearchOutcome(0);
}

void CNatProber::WriteFriendFound(std::uint32_t ip, std::uint16_t port) {
    m_outcome.friendIp = ip;
    const Octets o = AddressOctets(ip);
    theLog.WriteTimedLine("I have found a friend at %d.%d.%d.%d:%d!", o.a, o.b, o.c, o.d,
                          HostPort(port));
    theLog.WriteTimedLine("Wait messages from my friend...");
}

void CNatProber::OnFriendSearchOutcome(int outcome) {
    if (outcome == -1) {
        theLog.WriteTimedLine("I haven't found any friend");
        SummarizeResults();
    } else if (outcome == 0) {
        AwaitStep(StepFriendPort);
    }
}

void CNatProber::OnFriendReport(const ReceivedMessage& msg) {
    SendMessage(MakeAnswer(ReplyCode(kMsgFriendPortReport), msg));
    WriteMultiClientVerdict(PortBody(msg));
    SummarizeResults();
}

void CNatProber::WriteMultiClientVerdict(std::uint16_t reported) {
    m_outcome.friendReportedPort = HostPort(reported);
    theLog.WriteTimedLine("Compare my MAPPED-ADDRESS with my friend from STUN Server1");
    theLog.WriteLine("My and My friend's NAT Port: %d %d", HostPort(m_friendSockMappedPort),
                     HostPort(reported));
    theLog.WriteLine("");
    // One public port for local port 9802 of two copies: the NAT may confuse their traffic.
    const bool good = reported != m_friendSockMappedPort;
    const char* line = good ? kMultiClientGood : kMultiClientBad;
    theLog.WriteLine("%s", line);
    AddResultLine(line);
    m_outcome.multiClientGood = good;
}

void CNatProber::WriteFriendReportMissing() {
    theLog.WriteTimedLine(
        "I can't get any messages from my friend, Maybe something wrong. NAT Check finish!");
    theLog.WriteLine("");
    theLog.WriteLine("%s", kMultiClientBad);
    AddResultLine(kMultiClientBad);
    m_outcome.multiClientGood = false;
}

void CNatProber::OnFriendSearchReceived(const ReceivedMessage& msg) {
    // The rate is checked first: it costs nothing, while the local-address check may list the
    // interfaces and ask a name server.
    if (!m_responderLimit.HasRoom())
        return;
    // Our own broadcast comes back on socket 3; a copy on this computer is no friend either.
    if (IsLocalAddress(msg.fromAddress))
        return;
    const std::uint32_t server = EndpointBodyAddress(msg);
    const std::uint16_t serverPort = EndpointBodyPort(msg);
    // Any host may name any address as its Server1: a flood is refused without a trace in the
    // log (its texts are fixed) and only counted; a searcher whose request to its Server1 is still
    // unanswered (its broadcast and its direct search both arrive) is answered, not asked for.
    switch (m_responderLimit.AdmitSearch(msg.fromAddress, server, serverPort)) {
        case CResponderLimit::Decision::Refuse:
            return;
        case CResponderLimit::Decision::AnswerOnly:
            break;
        case CResponderLimit::Decision::Answer:
            Ask(kMsgFriendPortRequest, server, serverPort, kPort9802Slot);
            theLog.WriteTimedLine("Request STUN Server1 my Socket4 MAPPED-ADDRESS...");
            break;
    }
    SendMessage(MakeAnswer(ReplyCode(kMsgFriendSearch), msg));
    m_friendIp = msg.fromAddress;
    m_friendPort = msg.fromPort;
}

void CNatProber::OnFriendPortReply(const ReceivedMessage& msg) {
    // Only while a 0x7477700E to that server is outstanding: each unasked reply would otherwise
    // write a log line, and a flood of them grows the log without limit.
    if (!m_responderLimit.OnServerReply(msg.fromAddress, msg.fromPort)) {
        ++m_droppedFromStrangers;
        return;
    }
    Retire(msg, kMsgFriendPortRequest);
    const std::uint16_t port = PortBody(msg);
    // A second reply (the search came twice) finds the searcher already forgotten: there is no
    // one to report to, and a report to 0.0.0.0 would only be retransmitted into the void.
    if (m_friendIp != 0) {
        SendMessage(
            MakePortRequest(kMsgFriendPortReport, port, m_friendIp, m_friendPort, msg.socket));
    }
    m_friendIp = 0;
    m_friendPort = 0;
    theLog.WriteTimedLine("STUN Server1 report my Socket4 MAPPED-ADDRESS as %d...", HostPort(port));
}
