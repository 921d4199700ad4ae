#include "loopback_servers.h"

#include <random>
#include <string>

#include "server/probe_server.h"
#include "server/server_config.h"
#include "server/server_log.h"

CLoopbackServers::CLoopbackServers() = default;

CLoopbackServers::~CLoopbackServers() {
    if (m_server)
        m_server->Stop();
    SetServerLogMuted(false);
}

bool CLoopbackServers::Start() {
    SetServerLogMuted(true);
    std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> pick(10000, 29999);
    for (int attempt = 0; attempt < 20 && !m_server; ++attempt) {
        // Server1 also answers on P+1 and sends from P+2.
        const auto p = static_cast<std::uint16_t>(pick(random) * 2);
        const std::string port = std::to_string(p);
        ServerConfig cfg;
        std::string error;
        if (ParseServerArgs({"--server1", "127.0.0.2:" + port, "--server2", "127.0.0.3:" + port},
                            cfg, error, {}) != ParseStatus::Ok)
            return false;
        cfg.workers = 1;
        auto server = std::make_unique<CProbeServer>(cfg);
        if (!server->Start(error))
            continue;  // taken meanwhile by a parallel test: another port
        m_server = std::move(server);
        m_port = p;
    }
    return m_server != nullptr;
}
