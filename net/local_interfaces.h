#pragma once
// What the system says about this computer's own IPv4 and IPv6 addresses: the seam behind
// ReadLocalAddresses. local_interfaces.cpp (POSIX) or local_interfaces_win.cpp. Any thread.

#include <array>
#include <cstdint>
#include <vector>

#include "net/local_address.h"

// Every IPv4 interface with its network. Resolving the host name alone usually yields only
// 127.0.1.1 on Linux, so a computer with a public address would not know it as its own.
std::vector<LocalAddressSet::Network> LocalInterfaces();

// Every IPv6 interface address (link-local ones included), 16 bytes as on the wire.
std::vector<std::array<std::uint8_t, 16>> LocalInterfaces6();

// The addresses the host name resolves to (128-byte name buffer, IPv4 only).
std::vector<std::uint32_t> LocalHostNameAddresses();
