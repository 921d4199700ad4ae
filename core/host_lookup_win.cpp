#include "core/host_lookup.h"

#include <ws2tcpip.h>

#include <cstring>

#include "core/win_util.h"

HostLookup SystemHostLookup(const std::string& name) {
    HostLookup result;
    if (!EnsureWinsock()) {
        result.error = "Winsock is not available";
        return result;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        result.error = SystemErrorText(static_cast<DWORD>(rc));
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
