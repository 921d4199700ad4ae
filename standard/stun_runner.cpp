#include "standard/stun_runner.h"

#include <algorithm>
#include <chrono>

CStunRunner::CStunRunner() = default;

std::uint64_t CStunRunner::NowMs() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

void CStunRunner::RequestStop() {
    m_stop = true;
    m_sockets.Wake();
}

StunRunProgress CStunRunner::Progress() const {
    const MutexLock lock(m_progressMutex);
    return m_progress;
}

void CStunRunner::NoteProgress(const CStunCheck& check, std::uint64_t startMs,
                               std::uint64_t nowMs) {
    StunRunProgress progress;
    if (check.Running()) {
        const std::uint64_t endAt = check.EndAt().value_or(nowMs);
        progress = {.step = check.StepName(),
                    .elapsedMs = nowMs - startMs,
                    .leftMs = endAt > nowMs ? endAt - nowMs : 0};
    }
    const MutexLock lock(m_progressMutex);
    m_progress = std::move(progress);
}

StunOutcome CStunRunner::Run(const StunCheckConfig& config) {
    CStunCheck check(m_transport, [this] { return NowMs(); });
    if (m_isLocal)
        check.SetLocalAddressTest(m_isLocal);
    if (m_stop) {
        StunOutcome stopped;
        stopped.interrupted = true;
        stopped.server = config.server;
        stopped.server2 = config.server2;
        return stopped;
    }
    const std::uint64_t startMs = NowMs();
    check.Start(config);
    NoteProgress(check, startMs, NowMs());
    while (check.Running()) {
        if (m_stop) {
            check.Stop();
            break;
        }
        const std::uint64_t now = NowMs();
        const std::optional<std::uint64_t> deadline = check.NextDeadline();
        if (deadline && now >= *deadline) {
            check.OnTimer(now);
            continue;
        }
        const std::uint64_t wait = deadline ? std::min<std::uint64_t>(*deadline - now, kMaxWaitMs)
                                            : std::uint64_t{kMaxWaitMs};
        m_sockets.Wait(static_cast<int>(wait),
                       [&check](int id, const Endpoint& from, std::span<const std::uint8_t> bytes) {
                           check.OnDatagram(id, from, bytes);
                       });
        const std::uint64_t after = NowMs();
        NoteProgress(check, startMs, after);
        if (m_onProgress)
            m_onProgress(check, after);
    }
    NoteProgress(check, startMs, NowMs());
    return check.Outcome();
}
