// The computer's own IPv4 addresses (POSIX). The one file of the engine that asks the system.

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "engine/prober_util.h"

// Every IPv4 address of every interface. Resolving the host name alone usually yields only
// 127.0.1.1 on Linux, so a computer with a public address would not know it as its own.
bool IsInterfaceAddress(std::uint32_t addrNet) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs* ifa = list; ifa != nullptr && !found; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in sin;
        std::memcpy(&sin, ifa->ifa_addr, sizeof sin);
        found = sin.sin_addr.s_addr == addrNet;
    }
    freeifaddrs(list);
    return found;
}

namespace {

// The addresses the host name resolves to (128-byte name buffer, IPv4 only).
bool IsHostNameAddress(std::uint32_t addrNet) {
    char name[128] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0)
        return false;
    bool found = false;
    for (const addrinfo* ai = result; ai != nullptr && !found; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr)
            continue;
        sockaddr_in sin;
        std::memcpy(&sin, ai->ai_addr, sizeof sin);
        found = sin.sin_addr.s_addr == addrNet;
    }
    freeaddrinfo(result);
    return found;
}

}  // namespace

bool IsThisComputersAddress(std::uint32_t addrNet) {
    return IsInterfaceAddress(addrNet) || IsHostNameAddress(addrNet);
}
