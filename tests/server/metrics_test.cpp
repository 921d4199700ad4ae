// The Prometheus endpoint on loopback: every outcome counted somewhere, a page that promtool
// accepts and whose counters move with the traffic sent, and HTTP clients that stall or send
// garbage, which must neither hold the endpoint up nor stay connected past its bound.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "server/metrics.h"
#include "server/server_config.h"
#include "server/server_log.h"
#include "server/tsan_civetweb_suppressions.h"
#include "tests/server/test_udp.h"

namespace {

using Clock = std::chrono::steady_clock;

// A TCP client of 127.0.0.1:port; closed when it goes.
class CHttpClient {
public:
    explicit CHttpClient(std::uint16_t port) : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const timeval tick{0, 100'000};  // recv returns at least every 100 ms
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    ~CHttpClient() { close(m_fd); }
    CHttpClient(const CHttpClient&) = delete;
    CHttpClient& operator=(const CHttpClient&) = delete;

    bool Send(const std::string& bytes) {
        return send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Everything until the server closes (then *closed is set), for at most timeoutMs.
    std::string ReadAll(int timeoutMs, bool* closed = nullptr) {
        std::string got;
        char buf[4096];
        for (const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
             Clock::now() < end;) {
            const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n > 0) {
                got.append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EAGAIN) {
                if (closed)
                    *closed = n == 0 || errno == ECONNRESET;
                break;
            }
        }
        return got;
    }

private:
    const int m_fd;
};

std::string Get(std::uint16_t port, const std::string& path = "/metrics") {
    CHttpClient c(port);
    c.Send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    return c.ReadAll(3000);
}

std::string Body(const std::string& response) {
    const std::size_t at = response.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : response.substr(at + 4);
}

// The value of the sample line that starts with series ("name" or "name{labels}"); -1 if none.
double Sample(const std::string& page, const std::string& series) {
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(series + " ", 0) == 0)
            return std::strtod(line.c_str() + series.size() + 1, nullptr);
    }
    return -1;
}

// promtool check metrics, with page on its standard input: its exit status, 77 when there is no
// promtool (scripts/install-deps.sh unpacks Debian's). Its complaints go to the test's output.
int PromtoolCheck(const std::string& page) {
    FILE* p = popen(
        "p=${GATEWISE_INTEROP_DIR:-/var/cache/gatewise-interop}/usr/bin/promtool; "
        "[ -x \"$p\" ] || p=$(command -v promtool) || exit 77; "
        "exec \"$p\" check metrics",
        "w");
    if (p == nullptr)
        return -1;
    std::fwrite(page.data(), 1, page.size(), p);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class MetricsEndpoint : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MetricsBuilt())
            GTEST_SKIP() << "built without prometheus-cpp";
        SetServerLogMuted(true);
        const auto args = [](std::uint16_t base) -> std::vector<std::string> {
            return {"--server1",    "127.0.0.2:" + std::to_string(base),
                    "--server2",    "127.0.0.3:" + std::to_string(base + 10),
                    "--rate-limit", "0",
                    "--workers",    "2"};
        };
        std::string error;
        m_server = StartInProcessServer("127.0.0.2", 3, "127.0.0.3", 2, args, m_p1, error);
        ASSERT_TRUE(m_server) << error;
    }
    void TearDown() override {
        if (m_endpoint)
            m_endpoint->Stop();
        if (m_server)
            m_server->Stop();
        SetServerLogMuted(false);
    }
    void StartEndpoint(const MetricsLimits& limits = {}) {
        m_endpoint = std::make_unique<CMetricsEndpoint>(*m_server, limits);
        std::string error;
        ASSERT_TRUE(m_endpoint->Start("127.0.0.1:0", error)) << error;
        m_port = m_endpoint->Port();
        ASSERT_NE(m_port, 0);
    }

    std::unique_ptr<CProbeServer> m_server;
    std::unique_ptr<CMetricsEndpoint> m_endpoint;
    std::uint16_t m_p1 = 0;
    std::uint16_t m_port = 0;
};

// Every outcome must land in exactly one series: a new outcome left out of the page would go
// unseen by every operator.
TEST(MetricsText, EveryOutcomeCountedOnce) {
    if (!MetricsBuilt())
        GTEST_SKIP() << "built without prometheus-cpp";
    MetricsSnapshot s;
    double sum = 0;
    for (std::size_t i = 0; i < s.counters.outcomes.size(); ++i) {
        s.counters.outcomes[i] = 1ull << i;  // one bit each: a sum shows which one is off
        sum += static_cast<double>(1ull << i);
    }
    s.counters.oversized = 1ull << kOutcomeCount;
    sum += static_cast<double>(s.counters.oversized);
    const std::string page = MetricsText(s);
    double seen = 0;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        for (const char* family :
             {"gatewise_answered_total", "gatewise_dropped_total", "gatewise_relays_"}) {
            if (line.rfind(family, 0) == 0)
                seen += std::strtod(line.c_str() + line.rfind(' ') + 1, nullptr);
        }
    }
    EXPECT_EQ(seen, sum) << page;
}

TEST_F(MetricsEndpoint, PageThatPromtoolAcceptsWithCountersThatMove) {
    StartEndpoint();
    const std::string before = Body(Get(m_port));
    ASSERT_NE(Sample(before, "gatewise_received_datagrams_total"), -1) << before;

    CTestSocket client;
    constexpr int kBindings = 5;
    for (int i = 0; i < kBindings; ++i)
        ASSERT_TRUE(client.SendTo("127.0.0.2", m_p1, Hex("000674777002")));
    ASSERT_TRUE(client.SendTo("127.0.0.2", m_p1, Hex("0006747770")));  // short
    for (int i = 0; i < kBindings; ++i)
        ASSERT_TRUE(client.Receive(2000).has_value());
    // The short one has no answer to wait for: wait for its count instead.
    std::string after;
    for (int i = 0; i < 100; ++i) {
        after = Body(Get(m_port));
        if (Sample(after, "gatewise_received_datagrams_total") >= kBindings + 1)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // clang-format off
    const struct { const char* series; double increase; } moved[] = {
        {"gatewise_received_datagrams_total", kBindings + 1},
        {"gatewise_sent_datagrams_total", kBindings},
        {"gatewise_answered_total{protocol=\"tarnwick\",kind=\"reply\"}", kBindings},
        {"gatewise_dropped_total{reason=\"short\"}", 1},
        {"gatewise_answered_total{protocol=\"stun\",kind=\"binding\"}", 0},
        {"gatewise_rate_table_entries", 0},  // --rate-limit 0: nothing remembered
    };
    // clang-format on
    for (const auto& m : moved)
        EXPECT_EQ(Sample(after, m.series) - Sample(before, m.series), m.increase) << m.series;
    EXPECT_EQ(Sample(after, "gatewise_workers"), 2);
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(Sample(after, "process_start_time_seconds"), now, 600);
    EXPECT_GT(Sample(after, "process_open_fds"), 5) << "the server's sockets at least";
    EXPECT_GT(Sample(after, "process_resident_memory_bytes"), 1 << 20);
    EXPECT_GE(Sample(after, "process_cpu_seconds_total"), 0);

    const int promtool = PromtoolCheck(after);
    if (promtool == 77)
        GTEST_SKIP() << "no promtool (scripts/install-deps.sh unpacks it)";
    EXPECT_EQ(promtool, 0) << after;
}

// Stalled and slow clients hold a thread each until the request bound; oversized and garbage
// requests are answered with an error at once; meanwhile a scraper is served every time.
TEST_F(MetricsEndpoint, SlowAndMalformedClientsBounded) {
    MetricsLimits limits;
    limits.requestTimeoutMs = 1000;
    StartEndpoint(limits);
    const auto start = Clock::now();
    CHttpClient stalled(m_port), slow(m_port);
    ASSERT_TRUE(stalled.Send("GET /metr"));
    ASSERT_TRUE(slow.Send("G"));

    // clang-format off
    const struct { const char* name; std::string request; const char* status; } bad[] = {
        {"garbage", std::string("\x00\xff garbage\r\n\r\n", 14), "400"},
        {"headers over the size bound", "GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", "400"},
        {"another path", "GET /../../etc/passwd HTTP/1.1\r\n\r\n", "404"},
    };
    // clang-format on
    for (const auto& b : bad) {
        CHttpClient c(m_port);
        c.Send(b.request);
        bool closed = false;
        const std::string answer = c.ReadAll(1000, &closed);
        EXPECT_TRUE(closed) << b.name << ": not closed at once";
        EXPECT_TRUE(answer.rfind("HTTP/1.", 0) == 0 && answer.substr(9, 3) == b.status)
            << b.name << ": " << answer.substr(0, 60);
        EXPECT_NE(Get(m_port).find("gatewise_received_datagrams_total"), std::string::npos)
            << "a scraper is served beside the stalled clients, after " << b.name;
    }
    for (int i = 0; i < 3; ++i) {  // a byte every 200 ms does not extend the bound
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        slow.Send("E");
    }
    bool stalledClosed = false, slowClosed = false;
    stalled.ReadAll(3000, &stalledClosed);
    slow.ReadAll(1000, &slowClosed);
    EXPECT_TRUE(stalledClosed && slowClosed);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500))
        << "closed within the 1000 ms request bound, with room for a busy machine";
}

}  // namespace
