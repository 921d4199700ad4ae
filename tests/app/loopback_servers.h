#pragma once
// gatewise-server in this process: Server1 on 127.0.0.2:P (it honours RESPONSE-PORT) and Server2
// on 127.0.0.3:P, on a free P. Its own file, apart from Qt, whose "slots" keyword the server's
// headers use as a name. Test thread only.

#include <cstdint>
#include <memory>

class CProbeServer;

class CLoopbackServers {
public:
    CLoopbackServers();
    ~CLoopbackServers();
    CLoopbackServers(const CLoopbackServers&) = delete;
    CLoopbackServers& operator=(const CLoopbackServers&) = delete;

    bool Start();
    std::uint16_t Port() const { return m_port; }

private:
    std::unique_ptr<CProbeServer> m_server;
    std::uint16_t m_port = 0;
};
