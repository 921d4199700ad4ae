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

void CNatProber::SetLocalAddressCheck(std::function<bool(std::uint32_t)> check) {
    m_isLocal = std::move(check);
}

bool CNatProber::IsLocalAddress(std::uint32_t addr) const {
    if (m_isLocal)
        return m_isLocal(addr);
    return IsThisComputersAddress(addr);
}

void CNatProber::SendMessage(const NatMessage& msg) {
    if (m_network != nullptr)
        m_network->Send(msg);
}

void CNatProber::Retire(const ReceivedMessage& msg, std::uint32_t requestType) {
    if (m_network != nullptr)
        m_network->CompleteRequest(msg, requestType);
}

SocketHandle CNatProber::Socket(int slot) const {
    return m_network != nullptr ? m_network->GetSocket(slot) : kInvalidSocket;
}

void CNatProber::AddResultLine(const std::string& line) {
    m_resultLines.push_back(line);
}

void CNatProber::HandleMessage(const ReceivedMessage* msg) {
    if (msg == nullptr)
        return;
    const ReceivedMessage& m = *msg;
    const std::uint32_t type = MessageType(m);
    switch (type) {
        // Acted on, and retired, only in a step that waits for them: a late duplicate of step 1's
        // binding reply must not retire step 5's request to Server2 or disturb step 2.
        case ReplyCode(kMsgBindingRequest):
            if (m_step == StepServer1Binding) {
                OnServer1BindingReply(m);
            } else if (m_step == StepServer2Binding) {
                OnServer2BindingReply(m);
            } else if (m_step == StepPort9802) {
                OnPort9802Reply(m);
            }
            break;
        case ReplyCode(kMsgChangeRequest):
            if (m_step == StepChangeAck)
                OnChangeAck(m);
            break;

        // Retired in any step, acted on only in their own.
        case ReplyCode(kMsgPortChangeRequest):
            Retire(m, kMsgPortChangeRequest);
            if (m_step == StepPortChangeReply)
                OnPortChangeReply(m);
            break;
        case ReplyCode(kMsgAllocTestA):
            Retire(m, kMsgAllocTestA);
            if (m_step == StepAllocA)
                OnAllocReplyA(m);
            break;
        case ReplyCode(kMsgAllocTestB):
            Retire(m, kMsgAllocTestB);
            if (m_step == StepAllocB)
                OnAllocReplyB(m);
            break;
        case ReplyCode(kMsgAllocTestC):
            Retire(m, kMsgAllocTestC);
            if (m_step == StepAllocC)
                OnAllocReplyC(m);
            break;
        case ReplyCode(kMsgExceptTest1):
            Retire(m, kMsgExceptTest1);
            if (m_step == StepExcept1)
                OnExceptReply1(m);
            break;
        case ReplyCode(kMsgExceptTest2):
            Retire(m, kMsgExceptTest2);
            if (m_step == StepExcept2)
                OnExceptReply2(m);
            break;
        case ReplyCode(kMsgFriendSearch): {
            // The search it answers went to the broadcast address and is pending under it.
            ReceivedMessage asBroadcast = m;
            asBroadcast.fromAddress = kBroadcastAddress;
            Retire(asBroadcast, kMsgFriendSearch);
            if (m_step == StepFriendSearch)
                OnFriendAnswer(m);
            break;
        }
        case ReplyCode(kMsgFriendPortRequest):
            OnFriendPortReply(m);
            break;
        case ReplyCode(kMsgFriendPortReport):
            Retire(m, kMsgFriendPortReport);
            break;
        case ReplyCode(kMsgUnusedRequest):
            Retire(m, kMsgUnusedRequest);
            break;
        case kMsgLoopbackProbe:
            // The NAT passed our own probe back: the probe is its own answer.
            Retire(m, kMsgLoopbackProbe);
            m_loopbackSeen = 1;
            break;

        // Never retired: they answer no request of ours.
        case kMsgChangedAddressReply:
            if (m_step == StepChangeReply)
                OnChangeReply(m);
            break;
        case kMsgFriendPortReport:
            if (m_step == StepFriendPort)
                OnFriendReport(m);
            break;
        case kMsgFriendSearch:
            OnFriendSearchReceived(m);
            break;
        default:
            break;
    }
}

void CNatProber::OnTick(int /*unused*/) {
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
            theLog.WriteTimedLine(
                "I can't get any messages from my friend, Maybe something wrong. NAT Check "
                "finish!");
            theLog.WriteLine("");
            theLog.WriteLine("%s", kMultiClientBad);
            AddResultLine(kMultiClientBad);
            m_outcome.multiClientGood = false;
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
