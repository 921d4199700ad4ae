// A build without c-ares (the Windows build, or libc-ares-dev missing): no SRV lookups, and
// every lookup says so, so --stun falls back to the domain's own address.

#include "standard/srv_lookup.h"

bool SrvLookupAvailable() {
    return false;
}

SrvLookup LookupSrv(const std::string& /*name*/, std::chrono::milliseconds /*timeout*/,
                    const std::string& /*dnsServer*/) {
    return {{}, "SRV lookups are not available in this build"};
}
