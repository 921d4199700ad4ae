#include "core/host_lookup.h"

#include "core/win_util.h"

// Winsock must be started before getaddrinfo; its failures are system error codes.

bool HostLookupReady(std::string& error) {
    if (EnsureWinsock())
        return true;
    error = "Winsock is not available";
    return false;
}

std::string HostLookupErrorText(int rc) {
    return SystemErrorText(static_cast<DWORD>(rc));
}
