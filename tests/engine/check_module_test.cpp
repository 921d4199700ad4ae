// The check module: routing by type code, the start command, and (label "threaded") the real
// network module on loopback with the sink delivering through a notify target.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "engine/check_module.h"
#include "net/socket_layer.h"
#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The engine's thread as a test sees it: posted jobs queue up until the test runs them.
class CTestLoop : public INotifyTarget {
public:
    void Post(std::function<void()> fn) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.push_back(std::move(fn));
        m_posted.notify_all();
    }
    // Waits (bounded) until a job is queued, without running it.
    bool WaitPosted(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_posted.wait_for(lock, limit, [this] { return !m_jobs.empty(); });
    }
    // Runs queued jobs, waiting for more, until done() or the limit.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        while (!done()) {
            if (Clock::now() >= end)
                return false;
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (!m_posted.wait_until(lock, std::min(end, Clock::now() + 20ms),
                                         [this] { return !m_jobs.empty(); })) {
                    continue;
                }
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
        return true;
    }
    void RunPending() {
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_jobs.empty())
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
    }

private:
    std::mutex m_mutex;  // guards m_jobs
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_jobs;
};

// A UDP socket on 127.0.0.1 standing in for a probe server or another copy.
class CLoopbackPeer {
public:
    CLoopbackPeer() {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    }
    ~CLoopbackPeer() { close(m_fd); }
    CLoopbackPeer(const CLoopbackPeer&) = delete;
    CLoopbackPeer& operator=(const CLoopbackPeer&) = delete;

    std::uint16_t PortNet() const { return htons(SocketLocalPort(m_fd)); }
    void SendTo(std::uint16_t portNet, const std::uint8_t* bytes, std::size_t len) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = portNet;
        sendto(m_fd, bytes, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // One datagram within the limit; empty on time-out.
    std::vector<std::uint8_t> Receive(std::uint16_t& fromPortNet, int limitMs = 2000) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, limitMs) != 1)
            return {};
        std::uint8_t buf[512];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n =
            recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n <= 0)
            return {};
        fromPortNet = from.sin_port;
        return {buf, buf + n};
    }

private:
    int m_fd = -1;
};

std::uint16_t ModulePortNet(const CCheckModule& module, int slot) {
    return htons(module.Network()->LocalPort(slot));
}

class CheckModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        theLog.SetOutputWindow(&log);
        SetLocalTimeSource([] { return LocalTimeOfDay{9, 5, 0}; });
        // All five slots on ports the system chooses: no fixed port is taken from other tests.
        NetworkPorts ports;
        for (std::uint16_t& p : ports.slot)
            p = 0;
        module.SetNetworkPorts(ports);
        module.SetNotifyTarget(&loop);
        module.Prober().SetLocalAddressSource([] { return LocalAddressSet{}; });
        module.SetSettingsLoader([this](StunSettings& out) {
            out = settings;
            return SettingsComplete(out) ? SettingsLoad::kComplete : SettingsLoad::kIncomplete;
        });
        settings.server1Ip = Ip("127.0.0.1");
        settings.server1Port = server1.PortNet();
        settings.server2Ip = Ip("127.0.0.1");
        settings.server2Port = server2.PortNet();
    }
    void TearDown() override {
        module.Stop();
        loop.RunPending();
        theLog.SetOutputWindow(nullptr);
        SetLocalTimeSource({});
    }
    std::vector<std::string> LogLines() const { return SplitLog(log.Text()); }
    // Another copy's friend search, naming Server1, to the module's search socket.
    void SendFriendSearch(CLoopbackPeer& other) {
        std::uint8_t search[12];
        const std::uint16_t len =
            EncodeEndpoint(search, 0x7477700D, Ip("127.0.0.1"), server1.PortNet());
        other.SendTo(ModulePortNet(module, kSearchSlot), search, len);
    }

    CStringLogTarget log;
    CTestLoop loop;
    CLoopbackPeer server1, server2;
    StunSettings settings;
    CCheckModule module;
};

const std::string kStars(81, '*');
// What every start of a check writes first (the clock reads 09:05:00).
const std::vector<std::string> kCheckBanner = {
    "",
    kStars,
    "",
    "09:05:00 --- Start NAT Check...",
    "Init UDP NETWORK MODULE success...",
    "Init NAT Check module success...",
};

TEST(CheckModuleRouting, AcceptsExactlyTheSixteenCodes) {
    CCheckModule module;
    const std::uint32_t accepted[] = {0x7477700C, 0x7477700D, 0x74777010, 0x77747005,
                                      0x7C717001, 0x7C777002, 0x7C777003, 0x7C777006,
                                      0x7C777007, 0x7C777008, 0x7C777009, 0x7C77700A,
                                      0x7C77700B, 0x7C77700D, 0x7C77700E, 0x7C777010};
    // Among the dropped: our own answers and the requests we send.
    const std::uint32_t dropped[] = {0x7C77700C, 0x7C77700F, 0x7F747005, 0x74777002, 0x74777003,
                                     0x7477700E, 0x74717001, 0x7C777004, 0x00000000, 0xFFFFFFFF};
    for (std::uint32_t code : accepted) {
        std::uint8_t bytes[6];
        ReceivedMessage m;
        MakeReceived(m, bytes, EncodeEmpty(bytes, code), Ip("127.0.0.1"), htons(1), 0);
        EXPECT_EQ(module.RouteMessage(&m), 1) << std::hex << code;
    }
    for (std::uint32_t code : dropped) {
        std::uint8_t bytes[6];
        ReceivedMessage m;
        MakeReceived(m, bytes, EncodeEmpty(bytes, code), Ip("127.0.0.1"), htons(1), 0);
        EXPECT_EQ(module.RouteMessage(&m), 0) << std::hex << code;
    }
    EXPECT_EQ(module.RouteMessage(nullptr), 0);
}

TEST(CheckModuleWinsock, UsingLineThenBlank) {
    CStringLogTarget log;
    theLog.SetOutputWindow(&log);
    CCheckModule module;
    SocketLayerInfo info;
    ASSERT_TRUE(SocketLayerStartup(info));
    EXPECT_TRUE(module.InitWinsock());
    theLog.SetOutputWindow(nullptr);
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "Using %s (Status: %s) with API versions %d.%d to %d.%d\r\n\r\n",
                  info.description.c_str(), info.status.c_str(), info.versionLow, info.versionHigh,
                  info.highestLow, info.highestHigh);
    EXPECT_EQ(log.Text(), expected);
}

TEST_F(CheckModuleTest, ZeroServerPortWritesTheBannerAndNothingMore) {
    settings.server2Port = 0;
    module.StartCheck();
    EXPECT_EQ(LogLines(), kCheckBanner);
    EXPECT_FALSE(module.IsChecking());
    // Idle, so the command works again at once.
    module.StartCheck();
    EXPECT_EQ(LogLines().size(), 2 * kCheckBanner.size());
}

// The start-up both front ends run, and why a start or a check did not begin: the front ends
// act on LastFailure (the command-line client's exit status) instead of guessing from the log.
TEST_F(CheckModuleTest, StartUpWritesBannerAndPromptOrTheFailureText) {
    ASSERT_TRUE(module.StartUp());
    EXPECT_EQ(module.LastFailure(), StartFailure::kNone);
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], kStartBanner);
    EXPECT_EQ(lines[1].rfind("Using ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], kReadyPrompt);

    // The fourth slot's port is taken by a peer on 127.0.0.1: the module cannot bind it.
    module.Stop();
    log.Clear();
    NetworkPorts ports;
    for (std::uint16_t& p : ports.slot)
        p = 0;
    ports.slot[kSearchSlot] = ntohs(server1.PortNet());
    module.SetNetworkPorts(ports);
    EXPECT_FALSE(module.StartUp());
    EXPECT_EQ(module.LastFailure(), StartFailure::kSocketsFailed);
    EXPECT_EQ(LogLines().back(), kSocketsFailedText);
}

TEST_F(CheckModuleTest, LastFailureSaysWhySettingsStartedNoCheck) {
    struct Case {
        const char* name;
        SettingsLoad load;
        StartFailure failure;
        bool checking;
    };
    // The check that begins comes last: a running check ignores the start command.
    // One row per line:
    // clang-format off
    const Case cases[] = {
        {.name = "a zero server", .load = SettingsLoad::kIncomplete, .failure = StartFailure::kInvalidSettings, .checking = false},
        {.name = "unreadable file", .load = SettingsLoad::kUnreadable, .failure = StartFailure::kSettingsUnreadable, .checking = false},
        {.name = "complete", .load = SettingsLoad::kComplete, .failure = StartFailure::kNone, .checking = true},
    };
    // clang-format on
    for (const Case& c : cases) {
        module.SetSettingsLoader([this, &c](StunSettings& out) {
            out = settings;
            return c.load;
        });
        module.StartCheck();
        EXPECT_EQ(module.LastFailure(), c.failure) << c.name;
        EXPECT_EQ(module.IsChecking(), c.checking) << c.name;
    }
}

TEST_F(CheckModuleTest, FullStartWritesServerInformationThenTheFirstTest) {
    module.StartCheck();
    ASSERT_TRUE(module.IsChecking());
    std::string ports = "Local machine port:[";
    for (int i = 0; i < kSocketSlots; ++i) {
        ports +=
            std::to_string(ntohs(ModulePortNet(module, i))) + (i < kSocketSlots - 1 ? "," : "]");
    }
    std::vector<std::string> expected = kCheckBanner;
    expected.insert(expected.end(), {
                                        "",
                                        "STUN Server Information:",
                                        "    STUN Server1 IP address: 127.0.0.1   Port:" +
                                            std::to_string(ntohs(server1.PortNet())),
                                        "    STUN Server2 IP address: 127.0.0.1   Port:" +
                                            std::to_string(ntohs(server2.PortNet())),
                                        "",
                                        ports,
                                        "",
                                        "09:05:00 --- NAT Incoming packages filter check start...",
                                        "09:05:00 --- Request STUN Server1 my MAPPED-ADDRESS...",
                                    });
    EXPECT_EQ(LogLines(), expected);
}

TEST_F(CheckModuleTest, StartCheckWhileCheckingIsIgnored) {
    module.StartCheck();
    ASSERT_TRUE(module.IsChecking());
    const std::string text = log.Text();
    CUdpNetwork* network = module.Network();
    module.StartCheck();
    EXPECT_EQ(log.Text(), text);
    EXPECT_EQ(module.Network(), network);
}

// End to end on loopback: the request leaves the real socket 0, the reply comes back through the
// sink, the notify target and RouteMessage, and moves the prober.
TEST_F(CheckModuleTest, SinkDeliversThroughTheNotifyTarget) {
    module.StartCheck();
    std::uint16_t clientPort = 0;
    const std::vector<std::uint8_t> request = server1.Receive(clientPort);
    ASSERT_EQ(request, (std::vector<std::uint8_t>{0x00, 0x06, 0x74, 0x77, 0x70, 0x02}));
    EXPECT_EQ(clientPort, ModulePortNet(module, kProbeSlot));

    // Mapped address 127.0.0.1 and server2's port, so the loopback probe stays on loopback.
    std::uint8_t reply[12];
    const std::uint16_t len = EncodeEndpoint(reply, 0x7C777002, Ip("127.0.0.1"), server2.PortNet());
    server1.SendTo(clientPort, reply, len);
    ASSERT_TRUE(loop.RunUntil([this] { return module.Prober().Step() == StepChangeAck; }, 3000ms));
    const std::string expectedLine =
        "09:05:00 --- STUN Server1 reports my UDP address as 127.0.0.1:" +
        std::to_string(ntohs(server2.PortNet()));
    const std::vector<std::string> lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), expectedLine), lines.end());
}

TEST_F(CheckModuleTest, ResponderAnswersBeforeAnyCheck) {
    ASSERT_TRUE(module.CreateNetwork());
    CLoopbackPeer other;
    SendFriendSearch(other);
    ASSERT_TRUE(loop.RunUntil(
        [this] { return log.Text().find("Socket4 MAPPED-ADDRESS") != std::string::npos; }, 3000ms));
    std::uint16_t from = 0;
    EXPECT_EQ(other.Receive(from), (std::vector<std::uint8_t>{0x00, 0x06, 0x7C, 0x77, 0x70, 0x0D}));
    EXPECT_EQ(from, ModulePortNet(module, kSearchSlot));
    EXPECT_EQ(server1.Receive(from),
              (std::vector<std::uint8_t>{0x00, 0x06, 0x74, 0x77, 0x70, 0x0E}));
    EXPECT_EQ(from, ModulePortNet(module, kPort9802Slot));
}

// Stop runs on the engine's thread while the dispatch thread waits for that thread to handle a
// message: it must return promptly, and the job left behind must neither route nor crash.
TEST_F(CheckModuleTest, StopReturnsPromptlyWithADeliveryInFlight) {
    ASSERT_TRUE(module.CreateNetwork());
    CLoopbackPeer other;
    SendFriendSearch(other);
    ASSERT_TRUE(loop.WaitPosted(3000ms));

    const auto start = Clock::now();
    EXPECT_TRUE(module.Stop());
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(module.Network(), nullptr);
    loop.RunPending();  // the cancelled delivery's job, after the sink is gone
    EXPECT_TRUE(log.Text().empty());
}

// After Stop the prober must not keep the freed network module: the step-3 time-out that follows
// sends a request to Server2, which must go nowhere (under AddressSanitizer: touch no freed
// memory).
TEST_F(CheckModuleTest, TicksAfterStopDuringACheckSendNothing) {
    module.StartCheck();
    std::uint16_t clientPort = 0;
    ASSERT_FALSE(server1.Receive(clientPort).empty());
    std::uint8_t reply[12];
    server1.SendTo(clientPort, reply,
                   EncodeEndpoint(reply, 0x7C777002, Ip("127.0.0.1"), server2.PortNet()));
    server1.SendTo(clientPort, reply, EncodeEmpty(reply, 0x7C777003));
    ASSERT_TRUE(
        loop.RunUntil([this] { return module.Prober().Step() == StepChangeReply; }, 3000ms));
    module.Stop();
    for (int i = 0; i < 13; ++i)
        module.OnTick(0);
    EXPECT_EQ(module.Prober().Step(), StepServer2Binding);
    EXPECT_NE(log.Text().find("Request STUN Server2 my MAPPED-ADDRESS..."), std::string::npos);
}

// A module created over an existing one releases it (LeakSanitizer would report the first).
TEST_F(CheckModuleTest, CreateNetworkTwiceReleasesTheFirst) {
    ASSERT_TRUE(module.CreateNetwork());
    ASSERT_TRUE(module.CreateNetwork());
    EXPECT_NE(module.Network(), nullptr);
}

TEST(CheckModuleLifetime, DestroyedWithItsNetworkRunning) {
    CTestLoop loop;
    {
        CCheckModule module;
        NetworkPorts ports;
        for (std::uint16_t& p : ports.slot)
            p = 0;
        module.SetNetworkPorts(ports);
        module.SetNotifyTarget(&loop);
        ASSERT_TRUE(module.CreateNetwork());
    }
    loop.RunPending();
}

}  // namespace
}  // namespace enginetest
