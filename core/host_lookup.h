#pragma once
// The system's name lookup behind ResolveIpv4Host: getaddrinfo, IPv4 only. Platform seam:
// host_lookup.cpp (POSIX) or host_lookup_win.cpp. Any thread; blocks as long as the system's
// resolver does.

#include <string>

#include "core/host_resolver.h"

// The first IPv4 address of name, or why there is none.
HostLookup SystemHostLookup(const std::string& name);
