// This machine's broadcast addresses, for LocalBroadcastAddresses (server_config.h). Windows:
// each adapter address with its on-link prefix (GetAdaptersAddresses).

#include "core/win_util.h"
#include "server/server_config.h"

std::vector<std::uint32_t> LocalBroadcastAddresses() {
    std::vector<std::uint32_t> out;
    ForEachIpv4Unicast([&out](std::uint32_t addressNet, unsigned prefixLength, bool loopback) {
        // As on Linux, the loopback interface has no broadcast address, and neither has a /31 or
        // /32 network (RFC 3021): its "broadcast" would be an address of the link itself.
        if (loopback || prefixLength >= 31)
            return;
        out.push_back(addressNet | ~MaskOfPrefix(prefixLength));
    });
    return out;
}
