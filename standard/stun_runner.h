#pragma once
// Runs one STUN behaviour discovery (CStunCheck) or one mapping lifetime test (CMappingLifetime)
// over real UDP sockets: waits on them with a time-out up to the machine's next deadline. A stop
// request ends a run within milliseconds (the socket layer's wake-up), and each wait is bounded to
// kMaxWaitMs anyway.
//
// Threads: Run and SetOnProgress on one thread (Run blocks it); RequestStop and Progress from any
// thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>

#include "core/thread_annotations.h"
#include "standard/mapping_lifetime.h"
#include "standard/stun_check.h"
#include "standard/stun_sockets.h"

// How far a run is, for a progress display: what it waits for (CStunCheck::StepName; empty for
// the lifetime test), the time since it started and how long it can still take at most
// (CStunCheck::EndAt, CMappingLifetime::EndsBy). All zero and empty before the run starts and
// after it ends.
struct StunRunProgress {
    std::string step;
    std::uint64_t elapsedMs = 0;
    std::uint64_t leftMs = 0;
};

class CStunRunner {
public:
    static constexpr int kMaxWaitMs = 100;

    CStunRunner();
    CStunRunner(const CStunRunner&) = delete;
    CStunRunner& operator=(const CStunRunner&) = delete;

    // Called on Run's thread after every wait, for a progress display: the check as it stands and
    // the runner's clock (the check's deadlines are on it).
    using ProgressFn = std::function<void(const CStunCheck& check, std::uint64_t nowMs)>;
    void SetOnProgress(ProgressFn fn) { m_onProgress = std::move(fn); }
    using LifetimeProgressFn =
        std::function<void(const CMappingLifetime& test, std::uint64_t nowMs)>;
    void SetOnLifetimeProgress(LifetimeProgressFn fn) { m_onLifetimeProgress = std::move(fn); }
    // Tests: a made-up set of local addresses (passed on to the check).
    void SetLocalAddressTest(CStunCheck::LocalAddressTest test) { m_isLocal = std::move(test); }

    // The whole run, logged through theLog; returns what it found. A stop requested before Run
    // ends it before anything is sent (outcome.interrupted, nothing logged).
    StunOutcome Run(const StunCheckConfig& config);
    // The same for the mapping lifetime test.
    LifetimeOutcome RunLifetime(const LifetimeConfig& config);
    // Any thread: ends Run as soon as it notices (at once, through the wake-up).
    void RequestStop();
    // Any thread: the run as it stood after its last wait.
    StunRunProgress Progress() const EXCLUDES(m_progressMutex);

private:
    std::uint64_t NowMs() const;
    // The run as Progress reports it, after a wait of machine's.
    template <typename Machine>
    void NoteProgress(const Machine& machine, std::uint64_t startMs, std::uint64_t nowMs)
        EXCLUDES(m_progressMutex);
    // Feeds machine datagrams and timers until it stops running or a stop is requested.
    template <typename Machine, typename OnProgress>
    void Drive(Machine& machine, const OnProgress& onProgress);
    // Starts machine (unless a stop came first) and drives it to its end: its outcome.
    template <typename Machine, typename Config, typename OnProgress>
    auto RunMachine(Machine& machine, const Config& config, const OnProgress& onProgress)
        -> std::remove_cvref_t<decltype(machine.Outcome())>;

    CStunSockets m_sockets;
    CStunSocketsTransport m_transport{m_sockets};
    std::atomic<bool> m_stop{false};
    ProgressFn m_onProgress;
    LifetimeProgressFn m_onLifetimeProgress;
    CStunCheck::LocalAddressTest m_isLocal;
    mutable Mutex m_progressMutex;
    StunRunProgress m_progress GUARDED_BY(m_progressMutex);
};
