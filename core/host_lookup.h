#pragma once
// The system's name lookup behind ResolveIpv4Host: getaddrinfo, IPv4 and IPv6. Platform seam:
// host_lookup_shared.cpp asks getaddrinfo on either system; host_lookup.cpp (POSIX) or
// host_lookup_win.cpp readies the resolver and words its failures. Any thread; blocks as long
// as the system's resolver does.

#include <string>

#include "core/host_resolver.h"

// The first IPv4 address of name, or why there is none; its first IPv6 address besides.
HostLookup SystemHostLookup(const std::string& name);

// The system's part. Readies the resolver (Winsock must be started first); false, with why in
// error, when it cannot be had.
bool HostLookupReady(std::string& error);
// The system's text for getaddrinfo's failure rc; read at once, as it may look at errno.
std::string HostLookupErrorText(int rc);
