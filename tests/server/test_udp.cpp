#include "tests/server/test_udp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "server/probe_server.h"
#include "server/server_config.h"

extern char** environ;

namespace {

sockaddr_in Addr(const std::string& address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}

bool IsLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0;
}

bool CanBind(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in sa = Addr(address, port);
    const bool ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

CTestSocket::CTestSocket(const std::string& address) {
    if (!IsLoopback(address))
        return;
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = Addr(address, 0);
    if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

CTestSocket::~CTestSocket() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::uint16_t CTestSocket::Port() const {
    return ntohs(PortNet());
}

std::uint16_t CTestSocket::PortNet() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return sa.sin_port;
}

std::uint32_t CTestSocket::AddressNet() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return sa.sin_addr.s_addr;
}

bool CTestSocket::SendTo(const std::string& address, std::uint16_t port, const Bytes& data) {
    if (!IsLoopback(address))
        return false;  // tests never leave 127.0.0.0/8
    const sockaddr_in sa = Addr(address, port);
    return ::sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&sa),
                    sizeof sa) == static_cast<ssize_t>(data.size());
}

std::optional<Received> CTestSocket::Receive(int timeoutMs) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return std::nullopt;
    std::uint8_t buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        ::recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0)
        return std::nullopt;
    Received r;
    r.data.assign(buf, buf + n);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    r.fromAddress = text;
    r.fromPort = ntohs(from.sin_port);
    return r;
}

std::uint16_t FindFreePortBase(const std::string& addr1, int count1, const std::string& addr2,
                               int count2) {
    std::mt19937 rng(
        static_cast<unsigned>(::getpid()) ^
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto base = static_cast<std::uint16_t>(20000 + (rng() % 1200) * 10);
        bool ok = true;
        for (int i = 0; ok && i < count1; ++i)
            ok = CanBind(addr1, static_cast<std::uint16_t>(base + i));
        for (int i = 0; ok && i < count2; ++i) {
            ok = CanBind(addr2, static_cast<std::uint16_t>(base + 10 + i));
        }
        if (ok)
            return base;
    }
    return 0;
}

std::unique_ptr<CProbeServer> StartInProcessServer(
    const std::string& addr1, int count1, const std::string& addr2, int count2,
    const std::function<std::vector<std::string>(std::uint16_t base)>& args, std::uint16_t& base,
    std::string& error) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        base = FindFreePortBase(addr1, count1, addr2, count2);
        if (base == 0) {
            error = "no free ports";
            return nullptr;
        }
        ServerConfig cfg;
        if (ParseServerArgs(args(base), cfg, error) != ParseStatus::Ok)
            return nullptr;
        auto server = std::make_unique<CProbeServer>(cfg);
        if (server->Start(error))
            return server;
    }
    return nullptr;
}

CServerProcess::CServerProcess(const std::vector<std::string>& args) {
    char tmpl[] = "/tmp/gatewise-server-test-XXXXXX";
    const int logFd = ::mkstemp(tmpl);
    if (logFd < 0)
        return;
    ::close(logFd);
    m_logPath = tmpl;
    std::vector<std::string> argvStore;
    argvStore.push_back(GATEWISE_SERVER_BIN);
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, m_logPath.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

CServerProcess::~CServerProcess() {
    Stop();
    if (!m_logPath.empty())
        ::unlink(m_logPath.c_str());
}

int CServerProcess::WaitExit() {
    if (m_pid <= 0)
        return -1;
    // 15 s: under ThreadSanitizer on a machine with every core busy, a server that has logged
    // "stopped" has taken over 5 s to finish exiting.
    for (int i = 0; i < 1500; ++i) {  // 1500 x 10 ms
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    return -1;
}

int CServerProcess::Stop() {
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, SIGTERM);
    return WaitExit();
}

std::string CServerProcess::Log() const {
    std::ifstream f(m_logPath);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool WaitUntilAnswering(const std::string& address, std::uint16_t port) {
    CTestSocket s;
    for (int i = 0; i < 50; ++i) {  // 50 x 100 ms
        s.SendTo(address, port, Hex("000674777002"));
        if (auto r = s.Receive(100))
            return true;
    }
    return false;
}

Bytes Hex(const std::string& hex) {
    Bytes b;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        b.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return b;
}

std::string ToHex(const Bytes& b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (std::uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

bool CServerProcess::WaitForLog(const std::string& text, int timeoutMs) const {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (Log().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool CServerProcess::Signal(int sig) {
    return m_pid > 0 && ::kill(m_pid, sig) == 0;
}
