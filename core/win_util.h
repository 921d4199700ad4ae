#pragma once
// Small helpers the Windows platform files share (never included on POSIX): UTF-8 text to and
// from the wide strings of the W functions, system error texts, Winsock's start-up, UDP sockets
// that behave as the POSIX files' do, and the adapters' IPv4 addresses. Any thread.

#ifndef _WIN32
#error "core/win_util.h is for the Windows platform files only"
#endif

// Winsock 2 before windows.h, which could otherwise bring in the old winsock.h; the rest after.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>
#include <mswsock.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// Paths and names are UTF-8 everywhere else in the program; the W functions take UTF-16.
inline std::wstring WidenUtf8(const std::string& text) {
    if (text.empty())
        return {};
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

inline std::string NarrowToUtf8(const std::wstring& wide) {
    if (wide.empty())
        return {};
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string text(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                          nullptr, nullptr);
    return text;
}

// The system's text for an error code, without the trailing period and line break.
inline std::string SystemErrorText(DWORD code) {
    char* buffer = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text =
        n > 0 && buffer != nullptr ? std::string(buffer, n) : "error " + std::to_string(code);
    if (buffer != nullptr)
        ::LocalFree(buffer);
    while (!text.empty() &&
           (text.back() == '\r' || text.back() == '\n' || text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Winsock must be started before any of its calls, name lookups included, and these can come
// before the socket layer starts (a host name on the command line). Started once for the
// process and never cleaned up: the system does that at exit. True when Winsock 2.2 is there.
inline bool EnsureWinsock() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// A UDP socket set to behave as the POSIX files' sockets do; INVALID_SOCKET on failure. Child
// processes do not inherit it (SOCK_CLOEXEC). An ICMP port-unreachable is not reported by the
// next receive as WSAECONNRESET (Linux reports none on an unconnected socket; left on, one
// unanswered send would fail a later receive). Non-blocking, as Windows has no MSG_DONTWAIT:
// receives come after a wait, and a send that would block fails as a timed-out POSIX send does.
// family: AF_INET or AF_INET6.
inline SOCKET OpenNonBlockingUdpSocket(int family = AF_INET) {
    if (!EnsureWinsock())
        return INVALID_SOCKET;
    const SOCKET s = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return s;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    BOOL reportReset = FALSE;
    DWORD unused = 0;
    // A system without SIO_UDP_CONNRESET leaves the error on: receives then skip it.
    (void)::WSAIoctl(s, SIO_UDP_CONNRESET, &reportReset, sizeof reportReset, nullptr, 0, &unused,
                     nullptr, nullptr);
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// The Windows stand-in for a self-pipe: a non-blocking UDP socket on an ephemeral port of
// 127.0.0.1, connected to itself, so send() on it makes it readable and recv() drains it.
// Traffic never leaves the loopback interface. INVALID_SOCKET on failure.
inline SOCKET OpenLoopbackWakeSocket() {
    const SOCKET s = OpenNonBlockingUdpSocket();
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof self;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        ::connect(s, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Winsock SOCKET values in the int handles the rest of the program uses (net/socket_handle.h):
// handles fit in 32 bits, and sign extension turns -1 back into INVALID_SOCKET.
inline SOCKET SocketOf(int handle) {
    return static_cast<SOCKET>(static_cast<std::intptr_t>(handle));
}
inline int HandleOf(SOCKET s) {
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

// The adapters' list of family (AF_INET, AF_INET6) as GetAdaptersAddresses fills it in: the
// first IP_ADAPTER_ADDRESSES at the start; empty when the list cannot be had.
inline std::vector<unsigned char> AdapterAddresses(ULONG family) {
    constexpr ULONG kFlags =
        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // 15 KB is the size the system's documentation advises; the list may grow between two calls,
    // so a few tries with the size asked for, then give up.
    ULONG size = 15 * 1024;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size, 0);
        rc = ::GetAdaptersAddresses(family, kFlags, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc != NO_ERROR)
        buffer.clear();
    return buffer;
}

// Calls fn(addressNet, prefixLength, loopback) for every IPv4 unicast address of every adapter,
// up or not, the loopback adapter included (as getifaddrs lists them). False when the list
// cannot be had.
template <typename Fn>
bool ForEachIpv4Unicast(Fn&& fn) {
    const std::vector<unsigned char> buffer = AdapterAddresses(AF_INET);
    if (buffer.empty())
        return false;
    for (const IP_ADAPTER_ADDRESSES* a =
             reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         a != nullptr; a = a->Next) {
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr;
             u = u->Next) {
            const sockaddr* sa = u->Address.lpSockaddr;
            if (sa == nullptr || sa->sa_family != AF_INET)
                continue;
            sockaddr_in sin{};
            std::memcpy(&sin, sa, sizeof sin);
            fn(static_cast<std::uint32_t>(sin.sin_addr.s_addr), unsigned{u->OnLinkPrefixLength},
               a->IfType == IF_TYPE_SOFTWARE_LOOPBACK);
        }
    }
    return true;
}

// The network mask of a prefix length, network byte order (0 -> 0.0.0.0, 32 and more -> all ones).
inline std::uint32_t MaskOfPrefix(unsigned prefixLength) {
    if (prefixLength == 0)
        return 0;
    if (prefixLength >= 32)
        return ~std::uint32_t{0};
    return htonl(~std::uint32_t{0} << (32 - prefixLength));
}
