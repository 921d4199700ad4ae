#pragma once
// Where the platform declares inet_addr, inet_ntoa, inet_pton and the byte-order functions
// (htons, ntohl, ...): <arpa/inet.h> on POSIX, Winsock 2 on Windows.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif
