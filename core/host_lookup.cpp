#include "core/host_lookup.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

// The POSIX resolver needs no start; its failures are worded by gai_strerror, or by errno for
// EAI_SYSTEM.

bool HostLookupReady(std::string& /*error*/) {
    return true;
}

std::string HostLookupErrorText(int rc) {
    return rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
}
