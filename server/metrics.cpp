#include "server/metrics.h"

#include <CivetServer.h>
#include <dirent.h>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "server/server_log.h"

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// Where each outcome is counted: a family and its labels.
enum class Family : std::uint8_t { Answered, Dropped, RelayAccepted, RelayRefused };
struct OutcomeMetric {
    Family family;
    const char* label1;  // protocol (answered) or reason (dropped, refused)
    const char* label2;  // kind (answered)
};

// By Outcome, one row each.
// clang-format off
constexpr std::array<OutcomeMetric, kOutcomeCount> kOutcomeMetrics = {{
    {Family::Answered, "tarnwick", "reply"},               // Answered
    {Family::Dropped, "short", nullptr},                   // DroppedShort
    {Family::Dropped, "bad_length", nullptr},              // DroppedBadLength
    {Family::Dropped, "reply_code", nullptr},              // DroppedReply
    {Family::Dropped, "unknown_code", nullptr},            // DroppedUnknown
    {Family::Dropped, "send_only_port", nullptr},          // DroppedSendOnly
    {Family::Dropped, "rate_limited", nullptr},            // RateLimited
    {Family::RelayRefused, "spoofed", nullptr},            // RelaySpoofed
    {Family::RelayRefused, "malformed", nullptr},          // RelayMalformed
    {Family::RelayRefused, "bad_mac", nullptr},            // RelayBadMac
    {Family::RelayRefused, "stale", nullptr},              // RelayStale
    {Family::RelayRefused, "replayed", nullptr},           // RelayReplayed
    {Family::RelayAccepted, nullptr, nullptr},             // RelayAccepted
    {Family::RelayRefused, "sequence_ahead", nullptr},     // RelaySequenceAhead
    {Family::Answered, "stun", "binding"},                 // StunAnswered
    {Family::Answered, "stun", "error_420"},               // StunError
    {Family::Dropped, "stun_malformed", nullptr},          // StunMalformed
    {Family::Dropped, "stun_ignored", nullptr},            // StunIgnored
    {Family::Dropped, "stun_oversized", nullptr},          // StunOversized
    {Family::Answered, "stun", "binding_rfc3489"},         // Stun3489Answered
    {Family::Dropped, "bad_source", nullptr},              // DroppedBadSource
    {Family::RelayRefused, "bad_target", nullptr},         // RelayBadTarget
    {Family::Answered, "stun", "error_400"},               // StunBadRequest
}};
// clang-format on

MetricFamily MakeFamily(const char* name, const char* help, MetricType type) {
    MetricFamily f;
    f.name = name;
    f.help = help;
    f.type = type;
    return f;
}

ClientMetric Value(MetricType type, double value, std::vector<ClientMetric::Label> labels = {}) {
    ClientMetric m;
    m.label = std::move(labels);
    (type == MetricType::Counter ? m.counter.value : m.gauge.value) = value;
    return m;
}

// A family of one unlabelled value.
MetricFamily Single(const char* name, const char* help, MetricType type, double value) {
    MetricFamily f = MakeFamily(name, help, type);
    f.metric.push_back(Value(type, value));
    return f;
}

std::vector<MetricFamily> Families(const MetricsSnapshot& s) {
    const ServerCounters& c = s.counters;
    constexpr MetricType kCounter = MetricType::Counter, kGauge = MetricType::Gauge;
    std::vector<MetricFamily> out;
    out.push_back(Single("gatewise_received_datagrams_total",
                         "UDP datagrams received on every socket.", kCounter,
                         static_cast<double>(c.received)));
    out.push_back(Single("gatewise_sent_datagrams_total", "UDP datagrams queued for sending.",
                         kCounter, static_cast<double>(c.sent)));
    out.push_back(Single("gatewise_send_failures_total",
                         "UDP datagrams the kernel refused to send.", kCounter,
                         static_cast<double>(c.sendFailures)));
    MetricFamily answered = MakeFamily(
        "gatewise_answered_total", "Requests answered, by protocol and kind of answer.", kCounter);
    MetricFamily dropped =
        MakeFamily("gatewise_dropped_total", "Datagrams dropped unanswered, by reason.", kCounter);
    dropped.metric.push_back(
        Value(kCounter, static_cast<double>(c.oversized), {{"reason", "oversized"}}));
    MetricFamily accepted =
        MakeFamily("gatewise_relays_accepted_total",
                   "Change requests relayed by Server1 and accepted here (Server2).", kCounter);
    MetricFamily refused =
        MakeFamily("gatewise_relays_refused_total",
                   "Relay datagrams refused here (Server2), by reason.", kCounter);
    for (std::size_t i = 0; i < kOutcomeMetrics.size(); ++i) {
        const OutcomeMetric& m = kOutcomeMetrics[i];
        const double v = static_cast<double>(c.outcomes[i]);
        switch (m.family) {
            case Family::Answered:
                answered.metric.push_back(
                    Value(kCounter, v, {{"protocol", m.label1}, {"kind", m.label2}}));
                break;
            case Family::Dropped:
                dropped.metric.push_back(Value(kCounter, v, {{"reason", m.label1}}));
                break;
            case Family::RelayAccepted:
                accepted.metric.push_back(Value(kCounter, v));
                break;
            case Family::RelayRefused:
                refused.metric.push_back(Value(kCounter, v, {{"reason", m.label1}}));
                break;
        }
    }
    for (MetricFamily* f : {&answered, &dropped, &accepted, &refused})
        out.push_back(std::move(*f));
    out.push_back(Single("gatewise_rate_table_entries",
                         "Source addresses the rate limiter remembers now.", kGauge,
                         static_cast<double>(s.rateTableOccupied)));
    out.push_back(Single("gatewise_rate_table_capacity",
                         "Source addresses the rate limiter can remember (--rate-table).", kGauge,
                         static_cast<double>(s.rateTableCapacity)));
    out.push_back(Single("gatewise_workers", "Receive threads (--workers).", kGauge, s.workers));
    if (s.haveProcess) {
        const ProcessStats& p = s.process;
        out.push_back(Single("process_cpu_seconds_total",
                             "Total user and system CPU time spent in seconds.", kCounter,
                             p.cpuSeconds));
        out.push_back(Single("process_resident_memory_bytes", "Resident memory size in bytes.",
                             kGauge, p.residentBytes));
        out.push_back(Single("process_virtual_memory_bytes", "Virtual memory size in bytes.",
                             kGauge, p.virtualBytes));
        out.push_back(Single("process_start_time_seconds",
                             "Start time of the process since unix epoch in seconds.", kGauge,
                             p.startTimeSeconds));
        out.push_back(
            Single("process_open_fds", "Number of open file descriptors.", kGauge, p.openFds));
    }
    return out;
}

double Seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Open descriptors of this process, the directory's own not counted.
int CountOpenFds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    const int own = dirfd(dir);
    int n = 0;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.' && std::atoi(e->d_name) != own)
            ++n;
    }
    closedir(dir);
    return n;
}

// The scraped page: a fresh snapshot every time.
class CServerCollectable : public prometheus::Collectable {
public:
    explicit CServerCollectable(const CProbeServer& server) : m_server(server) {}
    std::vector<MetricFamily> Collect() const override {
        return Families(TakeMetricsSnapshot(m_server));
    }

private:
    const CProbeServer& m_server;
};

// CivetWeb's own complaints (a port taken, a bad request), at most one line a minute so that a
// client cannot flood the log.
CLogThrottle g_httpLog{60000};

int LogHttpMessage(const mg_connection*, const char* message) {
    std::uint64_t held = 0;
    if (!g_httpLog.Admit(MonotonicMs(), &held))
        return 1;
    if (held == 0)
        ServerLog("metrics: %s", message);
    else
        ServerLog("metrics: %s (%llu more such lines held back)", message,
                  static_cast<unsigned long long>(held));
    return 1;  // handled: CivetWeb writes nothing itself
}

}  // namespace

bool MetricsBuilt() {
    return true;
}

bool ReadProcessStats(ProcessStats& out) {
    // /proc/self/stat: the command name in parentheses (which may hold blanks), then fields
    // 3 onwards; utime and stime are 14 and 15, starttime 22, vsize 23, rss 24 (proc(5)).
    std::ifstream f("/proc/self/stat");
    std::string text;
    if (!std::getline(f, text))
        return false;
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(text.substr(close + 1));
    std::vector<std::string> v;
    for (std::string field; fields >> field;)
        v.push_back(field);
    if (v.size() < 22)  // v[0] is field 3
        return false;
    const auto at = [&v](int field) { return std::strtod(v[field - 3].c_str(), nullptr); };
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    const int fds = CountOpenFds();
    if (tick <= 0 || page <= 0 || fds < 0)
        return false;
    out.cpuSeconds = (at(14) + at(15)) / tick;
    out.virtualBytes = at(23);
    out.residentBytes = at(24) * page;
    // starttime counts ticks since boot; /proc/stat's boot time may be hidden from a sandboxed
    // service (ProcSubset=pid), so the boot is placed by the two clocks instead.
    out.startTimeSeconds = Seconds(CLOCK_REALTIME) - Seconds(CLOCK_BOOTTIME) + at(22) / tick;
    out.openFds = fds;
    return true;
}

MetricsSnapshot TakeMetricsSnapshot(const CProbeServer& server) {
    MetricsSnapshot s;
    s.counters = server.Counters();
    s.rateTableOccupied = server.RateTableOccupied();
    s.rateTableCapacity = server.RateTableCapacity();
    s.workers = server.WorkerCount();
    s.haveProcess = ReadProcessStats(s.process);
    return s;
}

std::string MetricsText(const MetricsSnapshot& snapshot) {
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, Families(snapshot));
    return out.str();
}

struct CMetricsEndpoint::Impl {
    std::shared_ptr<CServerCollectable> collectable;
    CivetCallbacks callbacks;
    std::unique_ptr<prometheus::Exposer> exposer;
};

CMetricsEndpoint::CMetricsEndpoint(const CProbeServer& server, const MetricsLimits& limits)
    : m_server(server), m_limits(limits) {}

CMetricsEndpoint::~CMetricsEndpoint() {
    Stop();
}

bool CMetricsEndpoint::Start(const std::string& listen, std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->collectable = std::make_shared<CServerCollectable>(m_server);
    impl->callbacks.log_message = LogHttpMessage;
    // Keep-alive off: every scrape takes a thread for one request only.
    const std::vector<std::string> options = {
        "listening_ports",    listen,
        "num_threads",        std::to_string(m_limits.threads),
        "connection_queue",   std::to_string(m_limits.queue),
        "listen_backlog",     std::to_string(m_limits.queue),
        "request_timeout_ms", std::to_string(m_limits.requestTimeoutMs),
        "max_request_size",   std::to_string(m_limits.maxRequestBytes),
        "enable_keep_alive",  "no",
    };
    try {
        impl->exposer = std::make_unique<prometheus::Exposer>(options, &impl->callbacks);
        impl->exposer->RegisterCollectable(impl->collectable);
    } catch (const std::exception& e) {
        error = "cannot listen on " + listen + " (" + e.what() + ")";
        return false;
    }
    m_impl = std::move(impl);
    return true;
}

std::uint16_t CMetricsEndpoint::Port() const {
    if (!m_impl)
        return 0;
    const std::vector<int> ports = m_impl->exposer->GetListeningPorts();
    return ports.empty() ? 0 : static_cast<std::uint16_t>(ports.front());
}

void CMetricsEndpoint::Stop() {
    m_impl.reset();  // the exposer first: it joins the threads that read the collectable
}
