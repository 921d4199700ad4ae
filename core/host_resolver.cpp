#include "core/host_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {

HostResolver& Override() {
    static HostResolver resolver;
    return resolver;
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

HostLookup SystemLookup(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    HostLookup result;
    if (rc != 0) {
        result.error = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
        return result;
    }
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            sockaddr_in sin{};
            std::memcpy(&sin, a->ai_addr, sizeof sin);
            result.ok = true;
            result.addressNet = sin.sin_addr.s_addr;
            break;
        }
    }
    ::freeaddrinfo(list);
    if (!result.ok)
        result.error = "no IPv4 address";
    return result;
}

}  // namespace

bool LooksLikeHostName(const std::string& text) {
    if (text.empty() || text.size() > 253)
        return false;
    bool letter = false;
    std::size_t label = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        if (!IsLetter(c) && !IsDigit(c) && c != '-')
            return false;
        letter = letter || IsLetter(c);
        if (++label > 63)
            return false;
    }
    // One trailing dot (a rooted name) is allowed; an empty last label otherwise is not.
    return letter && (label > 0 || text.size() > 1);
}

HostLookup ResolveIpv4Host(const std::string& name) {
    if (!LooksLikeHostName(name)) {
        HostLookup refused;
        refused.error = "not a dotted IPv4 address or host name";
        return refused;
    }
    return Override() ? Override()(name) : SystemLookup(name);
}

void SetHostResolver(HostResolver resolver) {
    Override() = std::move(resolver);
}
