// The default gateway from Linux's routing table (/proc/net/route); the source address toward it
// from a connected UDP socket, which sends nothing. The IPv6 default router from
// /proc/net/ipv6_route, and a global address of its interface from /proc/net/if_inet6.

#include "net/default_gateway.h"

#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "core/sockaddr_ipv4.h"

namespace {

constexpr std::size_t kMaxTable = 1 << 20;  // a routing table with thousands of routes fits

std::uint32_t SourceToward(std::uint32_t destNet) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return 0;
    std::uint32_t found = 0;
    const sockaddr_in to = Ipv4SocketAddress(destNet, htons(9));
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        found = local.sin_addr.s_addr;
    }
    ::close(fd);
    return found;
}

std::string ReadProcFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char buf[4096];
    while (in && text.size() < kMaxTable && in.read(buf, sizeof buf).gcount() > 0)
        text.append(buf, static_cast<std::size_t>(in.gcount()));
    return text;
}

}  // namespace

std::optional<DefaultGateway> FindDefaultGateway() {
    const std::optional<std::uint32_t> gateway = ParseRouteTable(ReadProcFile("/proc/net/route"));
    if (!gateway)
        return std::nullopt;
    return DefaultGateway{*gateway, SourceToward(*gateway)};
}

std::optional<DefaultGateway6> FindDefaultGateway6() {
    const std::optional<Ipv6DefaultRoute> route =
        ParseIpv6RouteTable(ReadProcFile("/proc/net/ipv6_route"));
    if (!route)
        return std::nullopt;
    const std::optional<Ipv6InterfaceAddress> local =
        ParseGlobalIpv6Address(ReadProcFile("/proc/net/if_inet6"), route->interfaceName);
    if (!local)
        return std::nullopt;
    return DefaultGateway6{route->gateway, local->address, local->interfaceIndex};
}
