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
        if (m_onProgress)
            m_onProgress(check, NowMs());
    }
    return check.Outcome();
}
