#include "engine/nat_prober.h"

#include "core/log.h"
#include "engine/prober_util.h"

using namespace prober;

CNatProber::CNatProber() = default;

CNatProber::~CNatProber() = default;

void CNatProber::SetServers(std::uint32_t server1Ip, std::uint16_t server1Port,
                            std::uint32_t server2Ip, std::uint16_t server2Port,
                            std::uint32_t friendIp) {
    m_server1Ip = server1Ip;
    m_server1Port = server1Port;
    m_server2Ip = server2Ip;
    m_server2Port = server2Port;
    m_configFriendIp = friendIp;
}

void CNatProber::SetLocalAddressSource(std::function<LocalAddressSet()> source) {
    m_localSource = std::move(source);
    m_localReadMs.reset();
}

const LocalAddressSet& CNatProber::LocalAddresses() const {
    const std::uint64_t now = m_responderLimit.Now();
    // A clock that went back also reads afresh.
    if (!m_localReadMs || now < *m_localReadMs || now - *m_localReadMs >= kLocalAddressRefreshMs) {
        m_local = m_localSource ? m_localSource() : ReadLocalAddresses();
        m_localReadMs = now;
    }
    return m_local;
}

bool CNatProber::IsLocalAddress(std::uint32_t addr) const {
    return LocalAddresses().IsOwn(addr);
}

bool CNatProber::FromParty(const ReceivedMessage& msg, int slot, Party party) {
    // The unsolicited replies come from ports of the servers' choice: only the address is known.
    const bool server1 = party != Party::Server2 && party != Party::Server2AnyPort;
    const std::uint16_t port = party == Party::Server1         ? m_server1Port
                               : party == Party::Server1Second ? Server1SecondPort()
                               : party == Party::Server2       ? m_server2Port
                                                               : 0;
    if (msg.socket == Socket(slot) && msg.fromAddress == (server1 ? m_server1Ip : m_server2Ip) &&
        (port == 0 || msg.fromPort == port))
        return true;
    ++m_droppedFromStrangers;
    return false;
}

std::uint16_t CNatProber::Server1SecondPort() const {
    // The arithmetic is on the host-order value.
    return NetPort(static_cast<std::uint16_t>(HostPort(m_server1Port) + 1));
}

bool CNatProber::FromFriendSearchParty(const ReceivedMessage& msg) {
    // The broadcast left socket 3 and reached only the networks this computer sits on; the
    // direct search left socket 0 for the configured friend.
    const bool broadcastAnswer =
        msg.socket == Socket(kSearchSlot) && LocalAddresses().OnLocalNetwork(msg.fromAddress);
    const bool directAnswer = m_configFriendIp != 0 && msg.socket == Socket(kProbeSlot) &&
                              msg.fromAddress == m_configFriendIp;
    if (broadcastAnswer || directAnswer)
        return true;
    ++m_droppedFromStrangers;
    return false;
}

void CNatProber::SendMessage(const NatMessage& msg) {
    if (m_network != nullptr)
        m_network->Send(msg);
}

void CNatProber::Ask(std::uint32_t type, std::uint32_t ip, std::uint16_t port, int slot) {
    SendMessage(MakeRequest(type, ip, port, Socket(slot)));
}

void CNatProber::AwaitStep(ProbeStep step) {
    ArmTimeout();
    m_step = step;
}

void CNatProber::Retire(const ReceivedMessage& msg, std::uint32_t requestType) {
    if (m_network != nullptr)
        m_network->CompleteRequest(msg, requestType);
}

SocketHandle CNatProber::Socket(int slot) const {
    return m_network != nullptr ? m_network->GetSocket(slot) : kInvalidSocket;
}

std::uint16_t CNatProber::LocalPort(int slot) const {
    return m_network != nullptr ? m_network->LocalPort(slot) : 0;
}

void CNatProber::AddResultLine(const std::string& line) {
    m_resultLines.push_back(line);
}

void CNatProber::HandleMessage(const ReceivedMessage* msg) {
    m_engineThread.Check();
    if (msg == nullptr)
        return;
    const ReceivedMessage& m = *msg;
    const std::uint32_t type = MessageType(m);
    // Every reply must come from the party its request went to, on the socket the request left
    // from: only the fixed ports 9801/9802 would have to be guessed by anyone else, so without
    // this an off-path host could choose the verdicts. A stranger's datagram is dropped without
    // a log line (the log's texts are fixed) and counted.
    if (HandleAnyStepReply(m, type))
        return;
    switch (type) {
        // Acted on, and retired, only in a step that waits for them: a late duplicate of step 1's
        // binding reply must not retire step 5's request to Server2 or disturb step 2.
        case ReplyCode(kMsgBindingRequest):
            if (m_step == StepServer1Binding) {
                if (FromParty(m, kProbeSlot, Party::Server1))
                    OnServer1BindingReply(m);
            } else if (m_step == StepServer2Binding) {
                if (FromParty(m, kProbeSlot, Party::Server2))
                    OnServer2BindingReply(m);
            } else if (m_step == StepPort9802) {
                if (FromParty(m, kPort9802Slot, Party::Server1))
                    OnPort9802Reply(m);
            }
            // Server2's answer to the liveness probe may come in any step.
            if (m_server2Probe == Server2Probe::Asked && m.socket == Socket(kExceptSlot1) &&
                m.fromAddress == m_server2Ip && m.fromPort == m_server2Port) {
                ConfirmServer2(m);
            }
            break;
        case ReplyCode(kMsgChangeRequest):
            if (m_step == StepChangeAck && FromParty(m, kProbeSlot, Party::Server1))
                OnChangeAck(m);
            break;

        case ReplyCode(kMsgFriendSearch): {
            if (!FromFriendSearchParty(m))
                break;
            // The search it answers went to the broadcast address and is pending under it.
            ReceivedMessage asBroadcast = m;
            asBroadcast.fromAddress = kBroadcastAddress;
            Retire(asBroadcast, kMsgFriendSearch);
            if (m_step == StepFriendSearch)
                OnFriendAnswer(m);
            break;
        }
        case ReplyCode(kMsgFriendPortRequest):
            // The responder's Server1 answers on socket 4; whether it was asked at all is the
            // responder limit's record of outstanding requests.
            if (m.socket != Socket(kPort9802Slot)) {
                ++m_droppedFromStrangers;
                break;
            }
            OnFriendPortReply(m);
            break;
        case ReplyCode(kMsgFriendPortReport):
            Retire(m, kMsgFriendPortReport);
            break;
        case ReplyCode(kMsgUnusedRequest):
            Retire(m, kMsgUnusedRequest);
            break;
        case kMsgLoopbackProbe:
            // The NAT passed our own probe back: the probe is its own answer. Its source depends
            // on how the NAT hairpins, so only the socket it left from is checked.
            if (m.socket != Socket(kProbeSlot)) {
                ++m_droppedFromStrangers;
                break;
            }
            Retire(m, kMsgLoopbackProbe);
            m_loopbackSeen = 1;
            break;

        // Never retired: they answer no request of ours.
        case kMsgChangedAddressReply:
            if (m_step == StepChangeReply && FromParty(m, kProbeSlot, Party::Server2AnyPort))
                OnChangeReply(m);
            break;
        case kMsgFriendPortReport:
            if (m_step == StepFriendPort) {
                if (m.fromAddress == m_foundFriendIp) {
                    OnFriendReport(m);
                } else {
                    ++m_droppedFromStrangers;
                }
            }
            break;
        case kMsgFriendSearch:
            OnFriendSearchReceived(m);
            break;
        default:
            break;
    }
}

bool CNatProber::HandleAnyStepReply(const ReceivedMessage& msg, std::uint32_t type) {
    // Retired in any step, acted on only in their own.
    struct Route {
        std::uint32_t request;
        int slot;
        Party from;
        ProbeStep step;
        void (CNatProber::*handler)(const ReceivedMessage&);
    };
    // One row per line.
    // clang-format off
    static constexpr Route kRoutes[] = {
        {kMsgPortChangeRequest, kProbeSlot, Party::Server1AnyPort, StepPortChangeReply, &CNatProber::OnPortChangeReply},
        {kMsgAllocTestA, kProbeSlot, Party::Server1, StepAllocA, &CNatProber::OnAllocReplyA},
        {kMsgAllocTestB, kProbeSlot, Party::Server1Second, StepAllocB, &CNatProber::OnAllocReplyB},
        {kMsgAllocTestC, kProbeSlot, Party::Server2, StepAllocC, &CNatProber::OnAllocReplyC},
        {kMsgExceptTest1, kExceptSlot1, Party::Server1, StepExcept1, &CNatProber::OnExceptReply1},
        {kMsgExceptTest2, kExceptSlot2, Party::Server1, StepExcept2, &CNatProber::OnExceptReply2},
    };
    // clang-format on
    for (const Route& route : kRoutes) {
        if (type != ReplyCode(route.request))
            continue;
        if (FromParty(msg, route.slot, route.from)) {
            Retire(msg, route.request);
            if (m_step == route.step)
                (this->*route.handler)(msg);
        }
        return true;
    }
    return false;
}

void CNatProber::OnTick(int /*unused*/) {
    m_engineThread.Check();
    if (m_step == StepIdle)
        return;
    const std::int32_t before = m_ticksLeft;
    // Keeps counting down after firing; it fires again only after the next ArmTimeout. Held at
    // the bottom so a counter nobody re-arms can never overflow.
    if (m_ticksLeft > INT32_MIN)
        --m_ticksLeft;
    if (before != 0)
        return;
    OnStepTimeout();
}

void CNatProber::OnStepTimeout() {
    switch (m_step) {
        case StepServer1Binding:
        case StepChangeAck:
        case StepServer2Binding:
            theLog.WriteTimedLine("%s", kNoServerResponse);
            m_filterType = FilterUnknown;
            m_outcome.silentServer = m_step == StepServer2Binding ? 2 : 1;
            ReportFilterResult();
            break;
        case StepChangeReply:
            OnChangeReplyTimeout();
            break;
        case StepPortChangeReply:
            m_filterType = FilterPortRestricted;
            ReportFilterResult();
            break;
        case StepAllocA:
            ReportAllocationResult(-1);
            break;
        case StepAllocB:
            ReportAllocationResult(-2);
            break;
        case StepAllocC:
            ReportAllocationResult(-3);
            break;
        case StepExcept1:
        case StepExcept2:
            ReportExceptionalResult(-1);
            break;
        case StepFriendSearch:
            OnFriendSearchOutcome(-1);
            break;
        case StepFriendPort:
            WriteFriendReportMissing();
            SummarizeResults();
            break;
        case StepPort9802:
            theLog.WriteTimedLine("%s", kNoServerResponse);
            OnFriendPortQueryDone(-1);
            break;
        default:
            break;
    }
}
