#include <charconv>
#include <limits>

#include "net/default_gateway.h"

namespace {

constexpr unsigned kRouteUp = 0x1;       // RTF_UP
constexpr unsigned kRouteGateway = 0x2;  // RTF_GATEWAY

// The next line of text (without its newline); text loses it.
std::string_view NextLine(std::string_view& text) {
    const std::size_t eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    return line;
}

// Up to N fields separated by blanks or tabs; the count found.
template <std::size_t N>
std::size_t Fields(std::string_view line, std::string_view (&f)[N]) {
    std::size_t n = 0;
    while (n < N) {
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            break;
        line.remove_prefix(start);
        const std::size_t end = line.find_first_of(" \t");
        f[n++] = line.substr(0, end);
        line = end == std::string_view::npos ? std::string_view() : line.substr(end);
    }
    return n;
}

// 32 hexadecimal digits: 16 address bytes, first byte first (as the kernel prints them).
std::optional<std::array<std::uint8_t, 16>> Hex128(std::string_view field) {
    if (field.size() != 32)
        return std::nullopt;
    std::array<std::uint8_t, 16> a{};
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char* p = field.data() + 2 * i;
        const auto [end, ec] = std::from_chars(p, p + 2, a[i], 16);
        if (ec != std::errc() || end != p + 2)
            return std::nullopt;
    }
    return a;
}

std::optional<std::uint32_t> Hex(std::string_view field) {
    std::uint32_t v = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v, 16);
    if (ec != std::errc() || end != field.data() + field.size())
        return std::nullopt;
    return v;
}

}  // namespace

std::optional<std::uint32_t> ParseRouteTable(std::string_view text) {
    std::optional<std::uint32_t> best;
    std::uint32_t bestMetric = std::numeric_limits<std::uint32_t>::max();
    bool header = true;
    while (!text.empty()) {
        const std::string_view line = NextLine(text);
        if (header) {  // "Iface Destination Gateway Flags RefCnt Use Metric Mask ..."
            header = false;
            continue;
        }
        std::string_view f[8];
        const std::size_t n = Fields(line, f);
        if (n < 8)
            continue;
        // The kernel prints the addresses as the hexadecimal of their in-memory (network order)
        // value, so the number read back is that value again.
        const auto dest = Hex(f[1]), gateway = Hex(f[2]), flags = Hex(f[3]), mask = Hex(f[7]);
        std::uint32_t metric = 0;
        const auto [end, ec] = std::from_chars(f[6].data(), f[6].data() + f[6].size(), metric);
        if (!dest || !gateway || !flags || !mask || ec != std::errc() ||
            end != f[6].data() + f[6].size()) {
            continue;
        }
        if (*dest != 0 || *mask != 0 || *gateway == 0 ||
            (*flags & (kRouteUp | kRouteGateway)) != (kRouteUp | kRouteGateway)) {
            continue;
        }
        if (!best || metric < bestMetric) {
            best = *gateway;
            bestMetric = metric;
        }
    }
    return best;
}

std::optional<Ipv6DefaultRoute> ParseIpv6RouteTable(std::string_view text) {
    // "dest destlen src srclen nexthop metric refcnt use flags ifname", hexadecimal but the
    // name, no header.
    std::optional<Ipv6DefaultRoute> best;
    std::uint32_t bestMetric = std::numeric_limits<std::uint32_t>::max();
    while (!text.empty()) {
        std::string_view f[10];
        if (Fields(NextLine(text), f) < 10)
            continue;
        const auto dest = Hex128(f[0]), nexthop = Hex128(f[4]);
        const auto destLen = Hex(f[1]), metric = Hex(f[5]), flags = Hex(f[8]);
        if (!dest || !nexthop || !destLen || !metric || !flags || *destLen != 0 ||
            *dest != std::array<std::uint8_t, 16>{} || *nexthop == std::array<std::uint8_t, 16>{} ||
            (*flags & (kRouteUp | kRouteGateway)) != (kRouteUp | kRouteGateway)) {
            continue;
        }
        if (!best || *metric < bestMetric) {
            best = Ipv6DefaultRoute{*nexthop, std::string(f[9])};
            bestMetric = *metric;
        }
    }
    return best;
}

std::optional<Ipv6InterfaceAddress> ParseGlobalIpv6Address(std::string_view text,
                                                           std::string_view interfaceName) {
    // "address ifindex prefixlen scope flags ifname", hexadecimal but the name.
    constexpr std::uint32_t kTemporary = 0x01, kDeprecated = 0x20, kTentative = 0x40;
    constexpr std::uint32_t kDadFailed = 0x08;
    std::optional<Ipv6InterfaceAddress> found;
    bool foundTemporary = false;
    while (!text.empty()) {
        std::string_view f[6];
        if (Fields(NextLine(text), f) < 6 || f[5] != interfaceName)
            continue;
        const auto address = Hex128(f[0]);
        const auto index = Hex(f[1]), scope = Hex(f[3]), flags = Hex(f[4]);
        if (!address || !index || !scope || !flags || *scope != 0 ||
            ((*address)[0] & 0xE0) != 0x20 ||
            (*flags & (kDeprecated | kTentative | kDadFailed)) != 0) {
            continue;
        }
        const bool temporary = (*flags & kTemporary) != 0;
        if (!found || (foundTemporary && !temporary)) {
            found = Ipv6InterfaceAddress{*address, *index};
            foundTemporary = temporary;
        }
    }
    return found;
}
