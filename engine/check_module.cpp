#include "engine/check_module.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "core/log.h"
#include "engine/prober_util.h"
#include "net/socket_layer.h"
#include "net/tick.h"

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
    const bool fresh = m_freshSockets;
    m_handshake.Deliver(
        *msg, [target](std::function<void()> job) { target->Post(std::move(job)); },
        [owner, fresh](const ReceivedMessage* received) {
            if (fresh) {
                owner->RouteFreshMessage(received);
            } else {
                owner->RouteMessage(received);
            }
        });
}

void CMessageSink::CancelDelivery() {
    m_handshake.Cancel();
}

void CQuickPacer::Start(INotifyTarget* target, std::function<void()> job) {
    Stop();
    {
        MutexLock lock(m_mutex);
        m_stop = false;
    }
    m_thread = std::thread([this, target, job = std::move(job)] {
        MutexLock lock(m_mutex);
        while (!m_stop) {
            lock.WaitFor(m_wake, std::chrono::milliseconds(kPeriodMs));
            if (m_stop)
                break;
            target->Post(job);
        }
    });
}

void CQuickPacer::Stop() {
    if (!m_thread.joinable())
        return;
    {
        MutexLock lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

namespace {
SettingsLoad LoadDefaultSettings(StunSettings& out) {
    return ReadSettingsForCheck(out);
}

}  // namespace

CCheckModule::CCheckModule() : m_quick(m_prober, SteadyMs), m_loadSettings(LoadDefaultSettings) {}

CCheckModule::~CCheckModule() {
    *m_alive = false;
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
    if (!InitWinsock()) {
        theLog.WriteLine("%s", kSocketsFailedText);
        return false;
    }
    if (!CreateNetwork()) {
        // The socket layer is there, so a socket could not be bound: almost always a fixed
        // port another program (most often a second copy) holds. Said before the failure text,
        // which stays the last line.
        const std::uint16_t search = m_ports.slot[kSearchSlot];
        const std::uint16_t friendPort = m_ports.slot[kPort9802Slot];
        if (search != 0 && friendPort != 0) {
            theLog.WriteLine(
                "Cannot open the local UDP ports %u and %u: another program holds them, perhaps "
                "another copy of this one.",
                static_cast<unsigned>(search), static_cast<unsigned>(friendPort));
        } else if (search != 0 || friendPort != 0) {
            theLog.WriteLine(
                "Cannot open the local UDP port %u: another program holds it, perhaps another "
                "copy of this one.",
                static_cast<unsigned>(search != 0 ? search : friendPort));
        }
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
    // A quick check cannot go on without its sockets; the pacer goes before what it drives.
    ReleaseQuickSide();
    m_quick.Abandon();
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
    if (LoadAndAnnounce(settings))
        m_prober.StartFilterCheck();
    return true;
}

bool CCheckModule::LoadAndAnnounce(StunSettings& settings) {
    switch (m_loadSettings(settings)) {
        case SettingsLoad::kComplete:
            m_failure = StartFailure::kNone;
            break;
        case SettingsLoad::kIncomplete:
            m_failure = StartFailure::kInvalidSettings;
            return false;
        case SettingsLoad::kUnreadable:
            m_failure = StartFailure::kSettingsUnreadable;
            return false;
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
    return true;
}

void CCheckModule::StartCheck() {
    if (IsChecking())
        return;
    Stop();
    if (Start())
        BeginCheck();
}

bool CCheckModule::OpenFreshSockets() {
    m_freshSink = std::make_unique<CMessageSink>(this, true);
    // Five sockets on ports of the system's choice, opened for this check alone.
    m_freshNetwork =
        std::make_unique<CUdpNetwork>(m_freshSink.get(), NetworkPorts{{0, 0, 0, 0, 0}});
    if (!m_freshNetwork->Start())
        return false;
    m_freshNetwork->SetPaused(false);
    return true;
}

void CCheckModule::ReleaseQuickSide() {
    m_pacer.Stop();
    if (m_freshNetwork != nullptr) {
        m_freshNetwork->Stop();
        m_freshNetwork.reset();
    }
    m_freshSink.reset();
}

void CCheckModule::StartQuickCheck() {
    if (IsChecking())
        return;
    Stop();
    if (!Start())
        return;
    StunSettings settings;
    if (!LoadAndAnnounce(settings))
        return;
    if (!OpenFreshSockets()) {
        ReleaseQuickSide();
        m_failure = StartFailure::kSocketsFailed;
        return;
    }
    const QuickCheckConfig config{.server1Ip = settings.server1Ip,
                                  .server1Port = settings.server1Port,
                                  .server2Ip = settings.server2Ip,
                                  .server2Port = settings.server2Port,
                                  .friendIp = settings.friendIp};
    if (!m_quick.Start(config, m_network.get(), m_freshNetwork.get())) {
        ReleaseQuickSide();
        return;
    }
    if (INotifyTarget* target = m_hNotifyWnd.load(); target != nullptr) {
        m_pacer.Start(target, [this, alive = m_alive] {
            if (*alive)
                OnQuickTimer();
        });
    }
}

void CCheckModule::OnQuickTimer() {
    m_quick.OnTimer();
    // Also after a reply ended the run: a pacer job is not inside the fresh sockets' delivery.
    if (!m_quick.Running())
        ReleaseQuickSide();
}

long CCheckModule::RouteFreshMessage(const ReceivedMessage* msg) {
    if (msg == nullptr)
        return 0;
    m_quick.OnFreshMessage(*msg);
    return 1;
}

CheckProgress CCheckModule::Progress() const {
    if (!m_quick.Running())
        return DescribeProgress(m_prober.Step(), m_prober.TicksLeft());
    // In one-second ticks, which is what a tick is wherever a quick check can run.
    const auto seconds = [](std::uint64_t ms) {
        return static_cast<std::int32_t>((ms + 999) / 1000);
    };
    const std::int32_t left = seconds(m_quick.MsLeft());
    return {.test = "Quick check",
            .waitingFor = m_quick.WaitingFor(),
            .stepTicks = left,
            .boundTicks = left};
}

bool CCheckModule::StopCheck() {
    if (!IsChecking())
        return false;
    // The network module first: its retransmissions and a delivery in flight end with it.
    Stop();  // abandons a quick check too
    m_prober.Abandon();
    theLog.WriteTimedLine("%s", kCheckStoppedText);
    // Back to the state a finished check leaves: a module that answers other copies. Should the
    // ports have been taken meanwhile, the next start says so.
    CreateNetwork();
    return true;
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
            // A running quick check takes its own replies first; the rest (other copies'
            // searches above all) go to the prober as always.
            if (m_quick.OnMainMessage(*msg))
                return 1;
            m_prober.HandleMessage(msg);
            return 1;  // handed to the engine (tests read this; the network side ignores it)
        default:
            return 0;
    }
}

void CCheckModule::OnTick(int /*unused*/) {
    m_prober.OnTick(0);
}

namespace {
struct StepProgress {
    ProbeStep step;
    const char* test;
    const char* waitingFor;
    // Most steps that can still follow this one: the filter test's longest path is a change
    // reply that never comes, Server2's binding reply and a port change reply that never comes;
    // then three allocation steps, two exceptional ones and three for the several copies.
    std::int32_t stepsAfter;
};
constexpr const char* kFilterTest = "Incoming filter test";
constexpr const char* kAllocTest = "Port allocation test";
constexpr const char* kExceptTest = "Exceptional behaviour test";
constexpr const char* kCopiesTest = "Several copies test";
// In the order a check can run them.
constexpr StepProgress kStepProgress[] = {
    {StepServer1Binding, kFilterTest, "Server1 binding reply", 12},
    {StepChangeAck, kFilterTest, "Server1 change request reply", 11},
    {StepChangeReply, kFilterTest, "Server2 change response", 10},
    {StepServer2Binding, kFilterTest, "Server2 binding reply", 9},
    {StepPortChangeReply, kFilterTest, "port change reply", 8},
    {StepAllocA, kAllocTest, "Server1 socketA port", 7},
    {StepAllocB, kAllocTest, "Server1 socketB port", 6},
    {StepAllocC, kAllocTest, "Server2 socketA port", 5},
    {StepExcept1, kExceptTest, "socket 1 port", 4},
    {StepExcept2, kExceptTest, "socket 2 port", 3},
    {StepPort9802, kCopiesTest, "the 9802 port", 2},
    {StepFriendSearch, kCopiesTest, "a friend", 1},
    {StepFriendPort, kCopiesTest, "the friend's port report", 0},
};
}  // namespace

CheckProgress DescribeProgress(std::int32_t step, std::int32_t ticksLeft) {
    for (const StepProgress& p : kStepProgress) {
        if (p.step != step)
            continue;
        // ticksLeft counts down to 0, and the tick that finds 0 fires; after that it runs
        // negative until the next step arms it again.
        const std::int32_t now = ticksLeft < 0 ? 0 : std::min(ticksLeft, kTimeoutTicks) + 1;
        return {.test = p.test,
                .waitingFor = p.waitingFor,
                .stepTicks = now,
                .boundTicks = now + p.stepsAfter * (kTimeoutTicks + 1)};
    }
    return {};
}

std::string ProgressSummary(const CheckProgress& progress, int tickMs) {
    if (progress.test[0] == '\0')
        return {};
    const auto seconds = [tickMs](std::int32_t ticks) {
        return (static_cast<long long>(ticks) * tickMs + 999) / 1000;  // rounded up: a bound
    };
    char buf[192];
    std::snprintf(buf, sizeof buf, "%s: waiting for %s, %lld s at most; all done within %lld s",
                  progress.test, progress.waitingFor, seconds(progress.stepTicks),
                  seconds(progress.boundTicks));
    return buf;
}
