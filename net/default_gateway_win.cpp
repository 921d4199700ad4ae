// The default gateway from the IP helper's forwarding table (the adapter's gateway); the source
// address toward it from a connected UDP socket, which sends nothing.

#include "net/default_gateway.h"

#include <iphlpapi.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <limits>
#include <vector>

#include "core/sockaddr_ipv4.h"
#include "core/win_util.h"

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
    ULONG size = 0;
    if (::GetIpForwardTable(nullptr, &size, TRUE) != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return std::nullopt;
    std::vector<unsigned char> buf(size);
    auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buf.data());
    if (::GetIpForwardTable(table, &size, TRUE) != NO_ERROR)
        return std::nullopt;
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
