#pragma once
// The routers on the path toward an address, as the ICMP time-exceeded messages of a few
// TTL-limited UDP datagrams name them. path_hops.cpp reads them with IP_RECVERR from the
// socket's error queue (Linux: no raw socket, no root); path_hops_win.cpp has no such queue for
// UDP and finds none. Blocks up to maxHops x waitMs. Any thread.

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

// Why this build cannot name the routers at all, for the log and --help; nullptr where it can.
const char* PathHopsMissing();

// One entry per TTL from 1, empty where no router answered in waitMs; ends early at the
// destination (or its "port unreachable"). stop cuts the waits short.
std::vector<std::optional<std::uint32_t>> TracePathHops(std::uint32_t destNet,
                                                        std::uint16_t portHost, int maxHops,
                                                        int waitMs,
                                                        const std::atomic<bool>* stop = nullptr);
