// The SRV query through c-ares: one channel per lookup, driven by poll until the answer or the
// deadline. c-ares reads the DNS servers from /etc/resolv.conf and parses the answer itself.

#include <ares.h>
#include <arpa/nameser.h>
#include <poll.h>

#include <chrono>
#include <mutex>

#include "standard/srv_lookup.h"

namespace {

// Per DNS server and try; two tries fit the whole lookup's 2 s with room for a second server.
constexpr int kTryTimeoutMs = 700;
constexpr int kTries = 2;

struct QueryState {
    bool done = false;
    SrvLookup result;
};

void OnAnswer(void* arg, int status, int /*timeouts*/, unsigned char* answer, int length) {
    auto& state = *static_cast<QueryState*>(arg);
    state.done = true;
    // No such name, or a name without SRV records: no records and no error.
    if (status == ARES_ENOTFOUND || status == ARES_ENODATA)
        return;
    if (status != ARES_SUCCESS) {
        state.result.error = ares_strerror(status);
        return;
    }
    ares_srv_reply* replies = nullptr;
    status = ares_parse_srv_reply(answer, length, &replies);
    if (status == ARES_ENODATA)
        return;
    if (status != ARES_SUCCESS) {
        state.result.error = ares_strerror(status);
        return;
    }
    for (const ares_srv_reply* r = replies; r != nullptr; r = r->next) {
        if (state.result.records.size() == kMaxSrvRecords)
            break;
        std::string target = r->host != nullptr ? r->host : "";
        if (!target.empty() && target.back() == '.')
            target.pop_back();
        // The root, written "." in a zone file, comes back empty.
        state.result.records.push_back(
            {r->priority, r->weight, r->port, target.empty() ? "." : target});
    }
    ares_free_data(replies);
}

// Waits on the channel's sockets until it has something to do or until deadline; false when the
// deadline has passed.
bool Step(ares_channel channel, std::chrono::steady_clock::time_point deadline) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int mask = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
    pollfd fds[ARES_GETSOCK_MAXNUM];
    nfds_t count = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        const short events = static_cast<short>((ARES_GETSOCK_READABLE(mask, i) ? POLLIN : 0) |
                                                (ARES_GETSOCK_WRITABLE(mask, i) ? POLLOUT : 0));
        if (events != 0)
            fds[count++] = {sockets[i], events, 0};
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline)
        return false;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    timeval limit{};
    timeval next{};
    limit.tv_sec = static_cast<time_t>(wait.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(wait.count() % 1000 * 1000);
    if (const timeval* t = ares_timeout(channel, &limit, &next))
        wait = std::chrono::milliseconds(t->tv_sec * 1000 + (t->tv_usec + 999) / 1000);
    if (::poll(fds, count, static_cast<int>(wait.count())) < 0)
        return true;  // EINTR: look again
    bool any = false;
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0)
            continue;
        any = true;
        const bool in = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        const bool out = (fds[i].revents & POLLOUT) != 0;
        ares_process_fd(channel, in ? fds[i].fd : ARES_SOCKET_BAD,
                        out ? fds[i].fd : ARES_SOCKET_BAD);
    }
    if (!any)  // a time-out of c-ares's own: it retries or gives up
        ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    return true;
}

}  // namespace

bool SrvLookupAvailable() {
    return true;
}

SrvLookup LookupSrv(const std::string& name, std::chrono::milliseconds timeout,
                    const std::string& dnsServer) {
    static std::once_flag once;
    static int initStatus = ARES_SUCCESS;
    std::call_once(once, [] { initStatus = ares_library_init(ARES_LIB_INIT_ALL); });
    if (initStatus != ARES_SUCCESS)
        return {{}, ares_strerror(initStatus)};

    ares_options options{};
    options.timeout = kTryTimeoutMs;
    options.tries = kTries;
    ares_channel channel = nullptr;
    if (const int rc = ares_init_options(&channel, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES);
        rc != ARES_SUCCESS) {
        return {{}, ares_strerror(rc)};
    }
    if (!dnsServer.empty()) {
        if (const int rc = ares_set_servers_ports_csv(channel, dnsServer.c_str());
            rc != ARES_SUCCESS) {
            ares_destroy(channel);
            return {{}, ares_strerror(rc)};
        }
    }
    QueryState state;
    // Not ares_search: the name is complete, never one to extend by the search domains.
    ares_query(channel, name.c_str(), ns_c_in, ns_t_srv, OnAnswer, &state);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!state.done && Step(channel, deadline)) {
    }
    if (!state.done) {
        ares_cancel(channel);  // calls OnAnswer with ARES_ECANCELLED
        state.result = {{}, "no answer within " + std::to_string(timeout.count()) + " ms"};
    }
    ares_destroy(channel);
    return state.result;
}
