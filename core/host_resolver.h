#pragma once
// Host names (IPv4; IPv6 besides for the standard STUN tests), for settings and command-line values
// that are no dotted quad. Platform seam: getaddrinfo. Any thread; SetHostResolver only before
// other threads resolve (tests, at start).

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct HostLookup {
    bool ok = false;
    std::uint32_t addressNet = 0;  // the first IPv4 address, network byte order, when ok
    std::string error;             // why not, one short phrase, when !ok
    // The first IPv6 address, when the name has one (also when it has no IPv4 one): only the
    // standard STUN tests use it.
    std::optional<std::array<std::uint8_t, 16>> address6;
};

using HostResolver = std::function<HostLookup(const std::string& name)>;

// True for text shaped like a DNS host name: letters, digits, '-' and '.', labels of 1-63
// characters, at most 253 in all, at least one letter. Only such text is ever handed to the
// resolver, so junk, blanks and number forms (which the system would read as octal or as a
// short dotted form) never become a query.
bool LooksLikeHostName(const std::string& text);

// The first IPv4 address of name through the current resolver (getaddrinfo unless replaced).
// Text that is no host name fails without a lookup. Blocks as long as the system's resolver does.
HostLookup ResolveIpv4Host(const std::string& name);

// Replaces the resolver; an empty function restores getaddrinfo. Tests use it so no query ever
// leaves the machine.
void SetHostResolver(HostResolver resolver);
