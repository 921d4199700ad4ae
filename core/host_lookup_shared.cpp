#include "core/host_lookup.h"

#include <cstring>

#include "core/sys_inet.h"

#ifndef _WIN32
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

// getaddrinfo and its list are the same on POSIX and Winsock 2; the rest is in host_lookup.cpp
// or host_lookup_win.cpp.

HostLookup SystemHostLookup(const std::string& name) {
    HostLookup result;
    if (!HostLookupReady(result.error))
        return result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        result.error = HostLookupErrorText(rc);
        return result;
    }
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_addr == nullptr)
            continue;
        if (a->ai_family == AF_INET && !result.ok) {
            sockaddr_in sin{};
            std::memcpy(&sin, a->ai_addr, sizeof sin);
            result.ok = true;
            result.addressNet = sin.sin_addr.s_addr;
        } else if (a->ai_family == AF_INET6 && !result.address6) {
            sockaddr_in6 sin6{};
            std::memcpy(&sin6, a->ai_addr, sizeof sin6);
            result.address6.emplace();
            std::memcpy(result.address6->data(), &sin6.sin6_addr, 16);
        }
    }
    ::freeaddrinfo(list);
    if (!result.ok)
        result.error = "no IPv4 address";
    return result;
}
