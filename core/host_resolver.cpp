#include "core/host_resolver.h"

#include "core/host_lookup.h"

namespace {

HostResolver& Override() {
    static HostResolver resolver;
    return resolver;
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool LooksLikeHostName(const std::string& text) {
    if (text.empty() || text.size() > 253)
        return false;
    bool letter = false;
    std::size_t label = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        if (!IsLetter(c) && !IsDigit(c) && c != '-')
            return false;
        letter = letter || IsLetter(c);
        if (++label > 63)
            return false;
    }
    // One trailing dot (a rooted name) is allowed; an empty last label otherwise is not.
    return letter && (label > 0 || text.size() > 1);
}

HostLookup ResolveIpv4Host(const std::string& name) {
    if (!LooksLikeHostName(name)) {
        HostLookup refused;
        refused.error = "not a dotted IPv4 address or host name";
        return refused;
    }
    return Override() ? Override()(name) : SystemHostLookup(name);
}

void SetHostResolver(HostResolver resolver) {
    Override() = std::move(resolver);
}
