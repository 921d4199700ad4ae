#include <charconv>
#include <limits>

#include "net/default_gateway.h"

namespace {

constexpr unsigned kRouteUp = 0x1;       // RTF_UP
constexpr unsigned kRouteGateway = 0x2;  // RTF_GATEWAY

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
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (header) {  // "Iface Destination Gateway Flags RefCnt Use Metric Mask ..."
            header = false;
            continue;
        }
        std::string_view f[8];
        std::size_t n = 0;
        while (n < 8) {
            const std::size_t start = line.find_first_not_of(" \t");
            if (start == std::string_view::npos)
                break;
            line.remove_prefix(start);
            const std::size_t end = line.find_first_of(" \t");
            f[n++] = line.substr(0, end);
            line = end == std::string_view::npos ? std::string_view() : line.substr(end);
        }
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
