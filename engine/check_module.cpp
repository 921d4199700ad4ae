#include "engine/check_module.h"

#include "core/log.h"
#include "engine/prober_util.h"
#include "net/socket_layer.h"

using namespace prober;

void CMessageSink::OnReceive(const ReceivedMessage* msg) {
    if (msg == nullptr)
        return;
    CCheckModule* owner = m_owner;
    if (owner == nullptr)
        return;
    // Read at each delivery: a message that arrives before the engine's thread is known is dropped.
    INotifyTarget* target = owner->m_hNotifyWnd.load();
    if (target == nullptr)
        return;
    m_handshake.Deliver(
        *msg, [target](std::function<void()> job) { target->Post(std::move(job)); },
        [owner](const ReceivedMessage* received) { owner->RouteMessage(received); });
}

void CMessageSink::CancelDelivery() {
    m_handshake.Cancel();
}

namespace {
SettingsLoad LoadDefaultSettings(StunSettings& out) {
    return ReadSettingsForCheck(out);
}
}  // namespace

CCheckModule::CCheckModule() : m_loadSettings(LoadDefaultSettings) {}

CCheckModule::~CCheckModule() {
    // The owner normally stops first; a module destroyed with its network side still running
    // would leave worker threads delivering into freed memory.
    Stop();
    CleanupWinsock();
}

void CCheckModule::SetSettingsLoader(SettingsLoader loader) {
    m_loadSettings = loader ? std::move(loader) : SettingsLoader(LoadDefaultSettings);
}

bool CCheckModule::StartUp() {
    theLog.WriteLine("%s", kStartBanner);
    if (!InitWinsock() || !CreateNetwork()) {
        theLog.WriteLine("%s", kSocketsFailedText);
        return false;
    }
    theLog.WriteLine("%s", kReadyPrompt);
    return true;
}

bool CCheckModule::InitWinsock() {
    SocketLayerInfo info;
    const bool ok = SocketLayerStartup(info);
    m_socketLayerStarted = m_socketLayerStarted || ok;
    m_failure = ok ? StartFailure::kNone : StartFailure::kSocketsFailed;
    theLog.WriteLine("Using %s (Status: %s) with API versions %d.%d to %d.%d",
                     info.description.c_str(), info.status.c_str(), info.versionLow,
                     info.versionHigh, info.highestLow, info.highestHigh);
    theLog.WriteLine("");
    return ok;
}

void CCheckModule::CleanupWinsock() {
    if (!m_socketLayerStarted)
        return;
    m_socketLayerStarted = false;
    SocketLayerCleanup();
}

bool CCheckModule::CreateNetwork() {
    // A module left from an earlier attempt (never started, or started and not stopped) is
    // released here rather than leaked with its sockets.
    if (m_network != nullptr || m_sink != nullptr)
        Stop();

    m_sink = std::make_unique<CMessageSink>(this);
    m_network = std::make_unique<CUdpNetwork>(m_sink.get(), m_ports);
    if (!m_network->Start()) {
        m_failure = StartFailure::kSocketsFailed;
        return false;
    }
    m_network->SetPaused(false);
    m_prober.Attach(m_network.get());
    m_failure = StartFailure::kNone;
    return true;
}

bool CCheckModule::Start() {
    if (!CreateNetwork())
        return false;
    theLog.WriteLine("");
    theLog.WriteLine("%s\r\n", kAsteriskRow);
    theLog.WriteTimedLine("Start NAT Check...");
    theLog.WriteLine("Init UDP NETWORK MODULE success...");
    theLog.WriteLine("Init NAT Check module success...");
    return true;
}

bool CCheckModule::Stop() {
    if (m_network != nullptr) {
        // Cancels a delivery in flight, so this never waits on the thread that calls it.
        m_network->Stop();
        m_network.reset();
        // The prober must not keep the freed module: a tick after Stop would send through it.
        m_prober.Attach(nullptr);
    }
    // After the network module: its threads deliver into the sink until they are joined.
    m_sink.reset();
    return true;
}

bool CCheckModule::BeginCheck() {
    StunSettings settings;
    switch (m_loadSettings(settings)) {
        case SettingsLoad::kComplete:
            m_failure = StartFailure::kNone;
            break;
        case SettingsLoad::kIncomplete:
            m_failure = StartFailure::kInvalidSettings;
            return true;
        case SettingsLoad::kUnreadable:
            m_failure = StartFailure::kSettingsUnreadable;
            return true;
    }

    const Octets s1 = AddressOctets(settings.server1Ip);
    const Octets s2 = AddressOctets(settings.server2Ip);
    theLog.WriteLine("");
    theLog.WriteLine("STUN Server Information:");
    theLog.WriteLine("    STUN Server1 IP address: %d.%d.%d.%d   Port:%d", s1.a, s1.b, s1.c, s1.d,
                     HostPort(settings.server1Port));
    theLog.WriteLine("    STUN Server2 IP address: %d.%d.%d.%d   Port:%d", s2.a, s2.b, s2.c, s2.d,
                     HostPort(settings.server2Port));
    m_prober.SetServers(settings.server1Ip, settings.server1Port, settings.server2Ip,
                        settings.server2Port, settings.friendIp);
    theLog.WriteLine("");
    m_prober.StartFilterCheck();
    return true;
}

void CCheckModule::StartCheck() {
    if (IsChecking())
        return;
    Stop();
    if (Start())
        BeginCheck();
}

long CCheckModule::RouteMessage(const ReceivedMessage* msg) {
    if (msg == nullptr)
        return 0;
    switch (MessageType(*msg)) {
        case kMsgLoopbackProbe:
        case kMsgFriendSearch:
        case kMsgFriendPortReport:
        case kMsgChangedAddressReply:
        case ReplyCode(kMsgUnusedRequest):
        case ReplyCode(kMsgBindingRequest):
        case ReplyCode(kMsgChangeRequest):
        case ReplyCode(kMsgPortChangeRequest):
        case ReplyCode(kMsgAllocTestA):
        case ReplyCode(kMsgAllocTestB):
        case ReplyCode(kMsgAllocTestC):
        case ReplyCode(kMsgExceptTest1):
        case ReplyCode(kMsgExceptTest2):
        case ReplyCode(kMsgFriendSearch):
        case ReplyCode(kMsgFriendPortRequest):
        case ReplyCode(kMsgFriendPortReport):
            m_prober.HandleMessage(msg);
            return 1;  // handed to the engine (tests read this; the network side ignores it)
        default:
            return 0;
    }
}

void CCheckModule::OnTick(int /*unused*/) {
    m_prober.OnTick(0);
}
