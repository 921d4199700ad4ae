// The default gateway from the IP helper's forwarding table (the adapter's gateway); the source
// address toward it from a connected UDP socket, which sends nothing.

#include "net/default_gateway.h"

// Winsock 2, windows.h and the IP helper in the order their headers need (the IP helper's
// adapter types exist only after winsock2.h).
#include "core/win_util.h"

#include <limits>
#include <vector>

#include "core/sockaddr_ipv4.h"

namespace {

std::uint32_t SourceToward(std::uint32_t destNet) {
    if (!EnsureWinsock())
        return 0;
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return 0;
    std::uint32_t found = 0;
    const sockaddr_in to = Ipv4SocketAddress(destNet, htons(9));
    sockaddr_in local{};
    int len = sizeof local;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        found = local.sin_addr.s_addr;
    }
    ::closesocket(s);
    return found;
}

}  // namespace

std::optional<DefaultGateway> FindDefaultGateway() {
    // The table may grow between the size asked for and the read: a few tries with the size the
    // last call asked for, then give up.
    ULONG size = sizeof(MIB_IPFORWARDTABLE);
    std::vector<unsigned char> buf;
    DWORD rc = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buf.assign(size, 0);
        rc = ::GetIpForwardTable(reinterpret_cast<MIB_IPFORWARDTABLE*>(buf.data()), &size, TRUE);
    }
    if (rc != NO_ERROR)
        return std::nullopt;
    const auto* table = reinterpret_cast<const MIB_IPFORWARDTABLE*>(buf.data());
    std::optional<std::uint32_t> best;
    DWORD bestMetric = std::numeric_limits<DWORD>::max();
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table->table[i];
        // Addresses are in network order, as everywhere in Winsock.
        if (row.dwForwardDest != 0 || row.dwForwardMask != 0 || row.dwForwardNextHop == 0)
            continue;
        if (!best || row.dwForwardMetric1 < bestMetric) {
            best = row.dwForwardNextHop;
            bestMetric = row.dwForwardMetric1;
        }
    }
    if (!best)
        return std::nullopt;
    return DefaultGateway{*best, SourceToward(*best)};
}

// PCP over IPv6 is not asked from Windows yet: it would need the IP helper's IPv6 forwarding
// table and unicast addresses, which this build does not read.
std::optional<DefaultGateway6> FindDefaultGateway6() {
    return std::nullopt;
}
