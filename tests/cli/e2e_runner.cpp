// Runs one gatewise-cli scenario: brings up loopback (inside a fresh network namespace), starts a
// probe server (the real one, or silent sockets), waits until it answers, runs the
// client with a bounded wait and stops everything it started by pid. Exits with the client's
// status, or 90-99 for a failure of its own (see RunnerExit).
//
//   cli_e2e_runner [--lo-up] --mode real|silent|none [--server-bin PATH] [--server-arg ARG]...
//       [--server1 A:P] [--server2 A:Q] [--hold-port N] [--signal-after-ms N]
//       [--friend-search-after-ms N] [--timeout-ms N] --stdout FILE --stderr FILE -- CLIENT ARGS...
//
// Traffic goes to 127.0.0.0/8 only.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/messages.h"

extern char** environ;

namespace {

enum RunnerExit {
    kBadArguments = 90,
    kLoopbackDown = 91,
    kServerNotAnswering = 92,
    kClientTimedOut = 93,
    kClientKilled = 94,
    kSpawnFailed = 95,
    kFriendSearchUnanswered = 96,
    kPortNotHeld = 97,
};

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Endpoint {
    std::uint32_t addr = 0;  // network order
    std::uint16_t port = 0;  // host order
};

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos)
        return std::nullopt;
    in_addr a{};
    if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &a) != 1)
        return std::nullopt;
    // Loopback only, whatever the caller asks for.
    if ((ntohl(a.s_addr) >> 24) != 127)
        return std::nullopt;
    int port = std::atoi(text.substr(colon + 1).c_str());
    if (port <= 0 || port > 65534)
        return std::nullopt;
    return Endpoint{a.s_addr, static_cast<std::uint16_t>(port)};
}

sockaddr_in Sockaddr(std::uint32_t addrNet, std::uint16_t portHost) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addrNet;
    sa.sin_port = htons(portHost);
    return sa;
}

int BoundSocket(std::uint32_t addrNet, std::uint16_t portHost) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in sa = Sockaddr(addrNet, portHost);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(s);
        return -1;
    }
    return s;
}

void SendTo(int s, const std::uint8_t* bytes, std::size_t len, std::uint32_t addrNet,
            std::uint16_t portNet) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addrNet;
    to.sin_port = portNet;
    sendto(s, bytes, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// Receives one datagram within timeoutMs; its length, or -1.
long ReceiveWithin(int s, std::uint8_t* buf, std::size_t cap, int timeoutMs, sockaddr_in* from) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return -1;
    socklen_t fl = sizeof *from;
    return recvfrom(s, buf, cap, 0, reinterpret_cast<sockaddr*>(from), &fl);
}

bool LoopbackUp() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (ok && (ifr.ifr_flags & IFF_UP) == 0) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    close(s);
    return ok;
}

// Sockets on the servers' endpoints that never answer: a server that is up but silent.
class SilentServers {
public:
    bool Start(Endpoint s1, Endpoint s2) {
        m_sockets[0] = BoundSocket(s1.addr, s1.port);
        m_sockets[1] = BoundSocket(s1.addr, static_cast<std::uint16_t>(s1.port + 1));
        m_sockets[2] = BoundSocket(s2.addr, s2.port);
        return m_sockets[0] >= 0 && m_sockets[1] >= 0 && m_sockets[2] >= 0;
    }
    ~SilentServers() {
        for (int s : m_sockets) {
            if (s >= 0)
                close(s);
        }
    }

private:
    int m_sockets[3] = {-1, -1, -1};
};

// Default dispositions and an empty mask for the child, whatever the parent had.
pid_t Spawn(const std::vector<std::string>& argv, const char* out, const char* err) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out)
        posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err)
        posix_spawn_file_actions_addopen(&fa, 2, err, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return pid;
}

// Waits for pid until deadline; its wait status, or nullopt when still running.
std::optional<int> WaitUntil(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0)
            return std::nullopt;
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

// True once pid blocks or catches sig (SigBlk, SigCgt in /proc/PID/status): before that the
// signal's default action would kill it outright, as it does a client still starting up.
bool Handles(pid_t pid, int sig) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (f == nullptr)
        return false;
    char line[256];
    unsigned long long mask = 0, any = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::sscanf(line, "SigBlk: %llx", &mask) == 1 ||
            std::sscanf(line, "SigCgt: %llx", &mask) == 1)
            any |= mask;
    }
    std::fclose(f);
    return ((any >> (sig - 1)) & 1) != 0;
}

void StopProcess(pid_t pid) {
    kill(pid, SIGTERM);
    if (!WaitUntil(pid, Clock::now() + 3s)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// Sends a binding request to Server1 until it answers; bounded to about five seconds.
bool ServerAnswers(Endpoint s1, pid_t server) {
    int s = BoundSocket(htonl(INADDR_LOOPBACK), 0);
    if (s < 0)
        return false;
    bool ok = false;
    for (int attempt = 0; attempt < 50 && !ok; ++attempt) {
        if (server > 0 && waitpid(server, nullptr, WNOHANG) == server)
            break;
        std::uint8_t req[12];
        SendTo(s, req, EncodeEmpty(req, kMsgBindingRequest), s1.addr, htons(s1.port));
        std::uint8_t buf[64];
        sockaddr_in from{};
        long n = ReceiveWithin(s, buf, sizeof buf, 100, &from);
        ok = n >= 6 && ReadBe32(buf + 2) == ReplyCode(kMsgBindingRequest);
    }
    close(s);
    return ok;
}

// Acts as another copy searching for a friend from 127.0.0.4 (not one of the client's own
// addresses): the client must answer the search and then send its 9802 port report.
bool FriendSearchAnswered(Endpoint s1) {
    int s = BoundSocket(inet_addr("127.0.0.4"), 0);
    if (s < 0)
        return false;
    std::uint8_t req[12];
    const std::uint16_t len = EncodeEndpoint(req, kMsgFriendSearch, s1.addr, htons(s1.port));
    bool answered = false;
    bool reported = false;
    const auto deadline = Clock::now() + 5s;
    auto nextSend = Clock::now();
    while (Clock::now() < deadline && !(answered && reported)) {
        if (!answered && Clock::now() >= nextSend) {
            SendTo(s, req, len, htonl(INADDR_LOOPBACK), htons(9801));
            nextSend = Clock::now() + 500ms;
        }
        std::uint8_t buf[64];
        sockaddr_in from{};
        long n = ReceiveWithin(s, buf, sizeof buf, 50, &from);
        if (n < 6)
            continue;
        const std::uint32_t type = ReadBe32(buf + 2);
        if (type == ReplyCode(kMsgFriendSearch))
            answered = true;
        if (type == kMsgFriendPortReport) {
            reported = true;
            std::uint8_t ack[12];
            SendTo(s, ack, EncodeEmpty(ack, ReplyCode(kMsgFriendPortReport)), from.sin_addr.s_addr,
                   from.sin_port);
        }
    }
    close(s);
    std::fprintf(stderr, "runner: friend search answered=%d reported=%d\n", answered, reported);
    return answered && reported;
}

}  // namespace

int main(int argc, char** argv) {
    bool loUp = false;
    std::string mode, serverBin, outFile, errFile;
    std::optional<Endpoint> s1, s2;
    int holdPort = 0, signalAfterMs = -1, searchAfterMs = -1, timeoutMs = 20000;
    std::vector<std::string> client;
    std::vector<std::string> serverArgs;  // after --server1 and --server2
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--") {
            client.assign(argv + i + 1, argv + argc);
            break;
        } else if (a == "--lo-up") {
            loUp = true;
        } else if (a == "--mode") {
            mode = next();
        } else if (a == "--server-bin") {
            serverBin = next();
        } else if (a == "--server-arg") {
            serverArgs.push_back(next());
        } else if (a == "--server1") {
            s1 = ParseEndpoint(next());
        } else if (a == "--server2") {
            s2 = ParseEndpoint(next());
        } else if (a == "--hold-port") {
            holdPort = std::atoi(next().c_str());
        } else if (a == "--signal-after-ms") {
            signalAfterMs = std::atoi(next().c_str());
        } else if (a == "--friend-search-after-ms") {
            searchAfterMs = std::atoi(next().c_str());
        } else if (a == "--timeout-ms") {
            timeoutMs = std::atoi(next().c_str());
        } else if (a == "--stdout") {
            outFile = next();
        } else if (a == "--stderr") {
            errFile = next();
        } else {
            std::fprintf(stderr, "runner: unknown argument %s\n", a.c_str());
            return kBadArguments;
        }
    }
    const bool needServers = mode == "real" || mode == "silent";
    if (client.empty() || outFile.empty() || errFile.empty() || (needServers && (!s1 || !s2)) ||
        (mode != "none" && !needServers) || (mode == "real" && serverBin.empty()) ||
        timeoutMs <= 0 || timeoutMs > 20000) {
        std::fprintf(stderr, "runner: bad arguments\n");
        return kBadArguments;
    }
    if (loUp && !LoopbackUp()) {
        std::fprintf(stderr, "runner: cannot bring loopback up\n");
        return kLoopbackDown;
    }

    int held = -1;
    if (holdPort > 0) {
        held = BoundSocket(htonl(INADDR_ANY), static_cast<std::uint16_t>(holdPort));
        if (held < 0)
            return kPortNotHeld;
    }

    SilentServers silent;
    pid_t server = -1;
    if (mode == "real") {
        char a1[32], a2[32];
        std::snprintf(a1, sizeof a1, "%s:%d", inet_ntoa(in_addr{s1->addr}), s1->port);
        std::snprintf(a2, sizeof a2, "%s:%d", inet_ntoa(in_addr{s2->addr}), s2->port);
        std::vector<std::string> argvServer = {serverBin, "--server1", a1, "--server2", a2};
        argvServer.insert(argvServer.end(), serverArgs.begin(), serverArgs.end());
        server = Spawn(argvServer, nullptr, nullptr);
        if (server < 0)
            return kSpawnFailed;
        if (!ServerAnswers(*s1, server)) {
            std::fprintf(stderr, "runner: the probe server does not answer\n");
            StopProcess(server);
            return kServerNotAnswering;
        }
    } else if (mode == "silent" && !silent.Start(*s1, *s2)) {
        return kServerNotAnswering;
    }

    int result = 0;
    const auto start = Clock::now();
    pid_t pid = Spawn(client, outFile.c_str(), errFile.c_str());
    if (pid < 0) {
        result = kSpawnFailed;
    } else {
        bool searchFailed = false;
        if (searchAfterMs >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(searchAfterMs));
            searchFailed = !FriendSearchAnswered(*s1);
        }
        std::optional<int> status;
        if (signalAfterMs >= 0) {
            status = WaitUntil(pid, start + std::chrono::milliseconds(signalAfterMs));
            // Not before the client handles SIGTERM: under a sanitizer on a busy machine its
            // start-up can outlast the delay, and the signal would kill it instead of ending the
            // run it is meant to end.
            while (!status && !Handles(pid, SIGTERM) &&
                   Clock::now() < start + std::chrono::milliseconds(timeoutMs))
                status = WaitUntil(pid, Clock::now() + 5ms);
            if (!status)
                kill(pid, SIGTERM);
        }
        if (!status)
            status = WaitUntil(pid, start + std::chrono::milliseconds(timeoutMs));
        if (!status) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            std::fprintf(stderr, "runner: the client did not end in time\n");
            result = kClientTimedOut;
        } else if (WIFSIGNALED(*status)) {
            std::fprintf(stderr, "runner: the client died of signal %d\n", WTERMSIG(*status));
            result = kClientKilled;
        } else {
            result = WEXITSTATUS(*status);
        }
        if (searchFailed && result < 90)
            result = kFriendSearchUnanswered;
    }
    if (server > 0)
        StopProcess(server);
    if (held >= 0)
        close(held);
    return result;
}
