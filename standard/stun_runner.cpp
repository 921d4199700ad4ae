#include "standard/stun_runner.h"

#include <algorithm>
#include <type_traits>

#include "net/tick.h"

CStunRunner::CStunRunner() = default;

std::uint64_t CStunRunner::NowMs() const {
    return SteadyMs();
}

void CStunRunner::RequestStop() {
    m_stop = true;
    m_sockets.Wake();
}

StunRunProgress CStunRunner::Progress() const {
    const MutexLock lock(m_progressMutex);
    return m_progress;
}

template <typename Machine>
void CStunRunner::NoteProgress(const Machine& machine, std::uint64_t startMs, std::uint64_t nowMs) {
    StunRunProgress progress;
    if (machine.Running()) {
        // The behaviour discovery names its step; the lifetime test only knows its end.
        std::optional<std::uint64_t> endAt;
        if constexpr (requires { machine.EndAt(); }) {
            endAt = machine.EndAt();
            progress.step = machine.StepName();
        } else {
            endAt = machine.EndsBy();
        }
        progress.elapsedMs = nowMs - startMs;
        progress.leftMs = endAt.value_or(nowMs) > nowMs ? *endAt - nowMs : 0;
    }
    const MutexLock lock(m_progressMutex);
    m_progress = std::move(progress);
}

template <typename Machine, typename Config, typename OnProgress>
auto CStunRunner::RunMachine(Machine& machine, const Config& config, const OnProgress& onProgress)
    -> std::remove_cvref_t<decltype(machine.Outcome())> {
    // A stop requested before the run: nothing sent, nothing logged, only that it was stopped.
    if (m_stop) {
        std::remove_cvref_t<decltype(machine.Outcome())> stopped = machine.Outcome();
        stopped.interrupted = true;
        stopped.server = config.server;
        if constexpr (requires { stopped.server2 = config.server2; })
            stopped.server2 = config.server2;
        if constexpr (requires { stopped.maxMs = config.maxMs; })
            stopped.maxMs = config.maxMs;
        return stopped;
    }
    machine.Start(config);
    Drive(machine, onProgress);
    return machine.Outcome();
}

template <typename Machine, typename OnProgress>
void CStunRunner::Drive(Machine& machine, const OnProgress& onProgress) {
    const std::uint64_t startMs = NowMs();
    NoteProgress(machine, startMs, startMs);
    while (machine.Running()) {
        if (m_stop) {
            machine.Stop();
            break;
        }
        const std::uint64_t now = NowMs();
        const std::optional<std::uint64_t> deadline = machine.NextDeadline();
        if (deadline && now >= *deadline) {
            machine.OnTimer(now);
            continue;
        }
        const std::uint64_t wait = deadline ? std::min<std::uint64_t>(*deadline - now, kMaxWaitMs)
                                            : std::uint64_t{kMaxWaitMs};
        m_sockets.Wait(static_cast<int>(wait), [&machine](int id, const Endpoint& from,
                                                          std::span<const std::uint8_t> bytes) {
            machine.OnDatagram(id, from, bytes);
        });
        const std::uint64_t after = NowMs();
        NoteProgress(machine, startMs, after);
        if (onProgress)
            onProgress(machine, after);
    }
    NoteProgress(machine, startMs, NowMs());
}

StunOutcome CStunRunner::Run(const StunCheckConfig& config) {
    CStunCheck check(m_transport, [this] { return NowMs(); });
    if (m_isLocal)
        check.SetLocalAddressTest(m_isLocal);
    return RunMachine(check, config, m_onProgress);
}

LifetimeOutcome CStunRunner::RunLifetime(const LifetimeConfig& config) {
    CMappingLifetime test(m_transport, [this] { return NowMs(); });
    return RunMachine(test, config, m_onLifetimeProgress);
}
