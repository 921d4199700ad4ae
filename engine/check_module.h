#pragma once
// The controller between the user interface and the check: starts and cleans up the socket layer,
// creates the
// network side (afresh for every check), starts checks, routes received messages to the engine and
// passes on the one-second tick. Engine (user-interface) thread only, except
// CMessageSink::OnReceive and CancelDelivery, which the network module's threads call.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/settings.h"
#include "engine/nat_prober.h"
#include "engine/notify_target.h"
#include "engine/quick_check.h"
#include "engine/start_texts.h"
#include "net/delivery.h"
#include "net/message_sink.h"
#include "net/udp_network.h"

class CCheckModule;

// Where a running check stands, for the progress displays of both front ends. Each step ends on
// its reply or at its time-out, kTimeoutTicks + 1 ticks after it was armed; the bound assumes
// every later step on the longest path still to go waits that long.
struct CheckProgress {
    const char* test = "";        // the running test ("Incoming filter test"); "" when idle
    const char* waitingFor = "";  // what the step waits for ("Server1 binding reply")
    std::int32_t stepTicks = 0;   // ticks until this step's time-out at the latest
    std::int32_t boundTicks = 0;  // ticks until the whole check has ended, at the latest
};
// Any thread (pure). An unknown or idle step gives the empty progress.
CheckProgress DescribeProgress(std::int32_t step, std::int32_t ticksLeft);
// "Incoming filter test: waiting for Server1 binding reply, 13 s at most; all done within 169 s",
// with tickMs the length of a tick; "" when idle. Any thread.
std::string ProgressSummary(const CheckProgress& progress, int tickMs);

// The log line of the stop command.
inline constexpr const char* kCheckStoppedText = "NAT Check stopped by the user.";

// Hands each received message synchronously to the owner's notify target (the engine's thread)
// and waits until the engine has handled it, or until the network module stops. The sink of a
// quick check's fresh sockets hands them to the quick check alone.
class CMessageSink : public IReceiveSink {
public:
    explicit CMessageSink(CCheckModule* owner, bool freshSockets = false)
        : m_owner(owner), m_freshSockets(freshSockets) {}
    void OnReceive(const ReceivedMessage* msg) override;  // dispatch thread
    void CancelDelivery() override;                       // any thread

private:
    CCheckModule* m_owner;
    const bool m_freshSockets;
    CDeliveryHandshake m_handshake;
};

// While a quick check runs, posts its timer job to the engine's thread every kPeriodMs: the
// check's waits are 100 ms and more, so 10 ms late is close enough. Start and Stop on the
// engine's thread; the pacing thread only posts.
class CQuickPacer {
public:
    static constexpr int kPeriodMs = 10;
    ~CQuickPacer() { Stop(); }
    void Start(INotifyTarget* target, std::function<void()> job);
    void Stop();
    bool Running() const { return m_thread.joinable(); }

private:
    std::thread m_thread;
    // A leaf lock, never held while posting.
    Mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop GUARDED_BY(m_mutex) = false;
};

// Not copyable: it owns the network side (and the prober and the atomic target forbid copies).
class CCheckModule {
public:
    CCheckModule();
    virtual ~CCheckModule();

    // The start-up both front ends run: the banner, InitWinsock, CreateNetwork, then the ready
    // prompt, or the failure text and false (LastFailure: kSocketsFailed).
    bool StartUp();
    bool InitWinsock();     // starts the socket layer, writes the "Using ..." line and a blank line
    void CleanupWinsock();  // after Stop; once per successful InitWinsock (the destructor too)
    bool CreateNetwork();   // sink + network module, Start, unpause, Attach
    bool Start();           // CreateNetwork, then the start banner
    bool Stop();            // stops and deletes the network module and the sink
    bool BeginCheck();      // settings, server information, first test
    void StartCheck();      // the start command (F5): ignored while a check runs
    // The quick start command (Shift+F5): the same start lines, settings and verdicts, the tests
    // at once on fresh sockets (CQuickCheck); ignored while a check runs. Needs the notify target
    // for its timer (tests without one call OnQuickTimer themselves).
    void StartQuickCheck();
    // The quick check's timer: retransmissions, give-ups and its end; once it has ended, its
    // fresh sockets and the pacer are released. Engine thread.
    void OnQuickTimer();
    // The stop command: ends a running check at once with kCheckStoppedText, the prober idle
    // and a fresh network module (so other copies' searches are answered, as after a check);
    // false, and nothing written, when no check runs.
    bool StopCheck();
    long RouteMessage(const ReceivedMessage* msg);  // drops codes the engine does not accept
    void OnTick(int unused);

    // The engine's thread, as the sink delivers to it (null: deliveries are dropped). Set once.
    void SetNotifyTarget(INotifyTarget* target) { m_hNotifyWnd = target; }
    INotifyTarget* NotifyTarget() const { return m_hNotifyWnd; }
    void SetResultPresenter(IResultPresenter* presenter) { m_prober.SetResultPresenter(presenter); }
    // Where settings come from. Default: ReadSettingsForCheck() of STUN.ini beside the
    // executable (host names resolved, unreadable files and names logged). The command-line
    // client loads another file and applies its overrides here. Only kComplete starts a check.
    using SettingsLoader = std::function<SettingsLoad(StunSettings&)>;
    void SetSettingsLoader(SettingsLoader loader);
    // Why the network side (StartUp, CreateNetwork, Start) or the last check (BeginCheck) did
    // not start; kNone once it did. A StartCheck ignored while a check runs leaves it as it is.
    StartFailure LastFailure() const { return m_failure; }
    // The file SummarizeResults reads REPORT from (empty: beside the executable).
    void SetSettingsPath(std::string path) { m_prober.SetSettingsPath(std::move(path)); }
    // Local ports for the network modules this module creates (tests move 9801/9802).
    void SetNetworkPorts(NetworkPorts ports) { m_ports = ports; }

    bool IsChecking() const { return m_prober.Step() != StepIdle || m_quick.Running(); }
    CheckProgress Progress() const;
    CNatProber& Prober() { return m_prober; }
    const CNatProber& Prober() const { return m_prober; }
    CQuickCheck& Quick() { return m_quick; }
    CUdpNetwork* Network() const { return m_network.get(); }

private:
    friend class CMessageSink;

    // Settings, the server information lines and SetServers: what both starts share. False
    // (m_failure says why) when no check may start.
    bool LoadAndAnnounce(StunSettings& settings);
    long RouteFreshMessage(const ReceivedMessage* msg);
    bool OpenFreshSockets();
    void ReleaseQuickSide();  // the pacer, then the fresh sockets and their sink

    CNatProber m_prober;
    CQuickCheck m_quick;
    std::unique_ptr<CUdpNetwork> m_freshNetwork;  // a quick check's own sockets; null otherwise
    std::unique_ptr<CMessageSink> m_freshSink;
    CQuickPacer m_pacer;
    // Engine thread only: false once this module is gone, for pacer jobs still queued.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::unique_ptr<CUdpNetwork> m_network;  // null when none exists
    std::unique_ptr<CMessageSink> m_sink;    // null when none exists
    // Read by the sink on the dispatch thread at each delivery; set on the engine's thread.
    std::atomic<INotifyTarget*> m_hNotifyWnd{nullptr};

    SettingsLoader m_loadSettings;
    NetworkPorts m_ports;
    StartFailure m_failure = StartFailure::kNone;
    bool m_socketLayerStarted = false;
};
