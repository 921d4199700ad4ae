#include "cli/stun_target.h"

#include "cli/options.h"
#include "net/address_text.h"

namespace {

// A port as the other server options read it, in at most five digits.
std::optional<std::uint16_t> PortOf(const std::string& text) {
    const std::optional<long> value = text.size() <= 5 ? ParseNumber(text, 1, 65535) : std::nullopt;
    if (!value)
        return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

// Why e can be no STUN server ("" when it can).
std::string Problem(const Endpoint& e) {
    if (e.IsIpv4() && e.Ipv4Address() == 0)
        return "the address must be other than 0.0.0.0";
    const char* problem =
        e.IsIpv4() ? PeerAddressProblem(e.Ipv4Address()) : PeerAddressProblem6(e.address);
    return problem ? FormatAddress(e) + " " + problem : std::string();
}

}  // namespace

std::optional<StunTarget> ResolveStunTarget(const std::string& text, const HostResolver& resolve,
                                            std::string& why) {
    const auto refuse = [&](const std::string& what) {
        why = "'" + text + "': " + what;
        return std::nullopt;
    };
    StunTarget target;
    std::string host = text;
    std::uint16_t port = kDefaultStunPort;
    // "[A6]:P", a bare IPv6 address (two colons or more), else HOST[:P].
    const std::size_t colon = text.rfind(':');
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 == text.size() || text[close + 1] != ':')
            return refuse("not [IPV6]:PORT");
        host = text.substr(1, close - 1);
        const std::optional<std::uint16_t> p = PortOf(text.substr(close + 2));
        if (!p)
            return refuse("not [IPV6]:PORT (port 1-65535)");
        port = *p;
    } else if (colon != std::string::npos && text.find(':') == colon) {
        const std::optional<std::uint16_t> p = PortOf(text.substr(colon + 1));
        if (!p)
            return refuse("not ADDRESS:PORT (port 1-65535)");
        host = text.substr(0, colon);
        port = *p;
    }
    if (host.find(':') != std::string::npos) {
        const std::optional<Ipv6Bytes> a = ParseIpv6(host);
        if (!a)
            return refuse("not an IPv6 address");
        target.ipv6 = Endpoint::Ipv6(*a, port);
    } else if (const std::optional<std::uint32_t> v4 = ParseIpv4(host)) {
        target.ipv4 = Endpoint(Ipv4Endpoint{*v4, port});
    } else {
        if (!resolve || !LooksLikeHostName(host))
            return refuse(resolve ? "not an IPv4 or IPv6 address or host name"
                                  : "not an IPv4 or IPv6 address");
        const HostLookup found = resolve(host);
        if (found.ok)
            target.ipv4 = Endpoint(Ipv4Endpoint{found.addressNet, port});
        if (found.address6)
            target.ipv6 = Endpoint::Ipv6(*found.address6, port);
        if (!target.ipv4 && !target.ipv6)
            return refuse("cannot be resolved: " + found.error);
        target.name = host;
    }
    for (const std::optional<Endpoint>& e : {target.ipv4, target.ipv6}) {
        if (e) {
            if (const std::string problem = Problem(*e); !problem.empty())
                return refuse(problem);
        }
    }
    return target;
}
