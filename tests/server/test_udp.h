#pragma once
// Loopback helpers for the server tests: a UDP socket with bounded receives, a search for free
// ports, and the real gatewise-server started as a child process. 127.0.0.0/8 only.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

struct Received {
    Bytes data;
    std::string fromAddress;     // dotted quad
    std::uint16_t fromPort = 0;  // host order
};

class CTestSocket {
public:
    // Binds address:0; a 127.x.x.x address is required.
    explicit CTestSocket(const std::string& address = "127.0.0.1");
    ~CTestSocket();
    CTestSocket(const CTestSocket&) = delete;
    CTestSocket& operator=(const CTestSocket&) = delete;

    bool Valid() const { return m_fd >= 0; }
    std::uint16_t Port() const;  // host order
    std::uint16_t PortNet() const;
    std::uint32_t AddressNet() const;
    bool SendTo(const std::string& address, std::uint16_t port, const Bytes& data);
    // Waits at most timeoutMs for one datagram.
    std::optional<Received> Receive(int timeoutMs);

private:
    int m_fd = -1;
};

// A base port such that addr1:base..base+count1-1 and addr2:base+10..base+10+count2-1 can all be
// bound now; 0 when none was found. Bases come from 20000..31999, below the ephemeral range.
std::uint16_t FindFreePortBase(const std::string& addr1, int count1, const std::string& addr2,
                               int count2);

class CProbeServer;
// An in-process server started with args(base), base a free port base from FindFreePortBase
// for addr1 (count1 ports) and addr2 (count2); tried again with another base when a parallel
// test takes a port first. nullptr (error says why) when no attempt started or args(base) did
// not parse.
std::unique_ptr<CProbeServer> StartInProcessServer(
    const std::string& addr1, int count1, const std::string& addr2, int count2,
    const std::function<std::vector<std::string>(std::uint16_t base)>& args, std::uint16_t& base,
    std::string& error);

// The real gatewise-server binary, stopped by pid in the destructor.
class CServerProcess {
public:
    // stderr goes to a temporary file, readable with Log().
    explicit CServerProcess(const std::vector<std::string>& args);
    ~CServerProcess();
    CServerProcess(const CServerProcess&) = delete;
    CServerProcess& operator=(const CServerProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    // SIGTERM, then up to 5 s for the exit; SIGKILL after that. Returns the exit status, or -1
    // when the process had to be killed or did not exit normally.
    int Stop();
    // Exits on its own (bad options): waits up to 5 s.
    int WaitExit();
    std::string Log() const;
    // Waits up to timeoutMs for text to appear in the log.
    bool WaitForLog(const std::string& text, int timeoutMs) const;
    bool Signal(int sig);

private:
    pid_t m_pid = -1;
    std::string m_logPath;
};

// Sends a binding request to address:port until it is answered, at most 5 s.
bool WaitUntilAnswering(const std::string& address, std::uint16_t port);

Bytes Hex(const std::string& hex);
std::string ToHex(const Bytes& b);
