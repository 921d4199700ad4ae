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

template <typename Machine, typename Progress>
void CStunRunner::Drive(Machine& machine, const Progress& onProgress) {
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
        if (onProgress)
            onProgress(machine, NowMs());
    }
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
    check.Start(config);
    Drive(check, m_onProgress);
    return check.Outcome();
}

LifetimeOutcome CStunRunner::RunLifetime(const LifetimeConfig& config) {
    CMappingLifetime test(m_transport, [this] { return NowMs(); });
    if (m_stop) {
        LifetimeOutcome stopped;
        stopped.interrupted = true;
        stopped.server = config.server;
        stopped.maxMs = config.maxMs;
        return stopped;
    }
    test.Start(config);
    Drive(test, m_onLifetimeProgress);
    return test.Outcome();
}
