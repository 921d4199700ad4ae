// Windows has no error queue for UDP sockets (ICMP time exceeded needs a raw socket or the ICMP
// helper), so the path's routers are not named here.

#include "net/path_hops.h"

const char* PathHopsMissing() {
    return "Windows has no ICMP error queue for UDP sockets";
}

std::vector<std::optional<std::uint32_t>> TracePathHops(std::uint32_t, std::uint16_t, int, int,
                                                        const std::atomic<bool>*) {
    return {};
}
