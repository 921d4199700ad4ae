#include "core/host_lookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

HostLookup SystemHostLookup(const std::string& name) {
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
