#include "standard/portmap_codec.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "net/address_text.h"

namespace {

std::uint16_t Get16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}
std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}
void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, static_cast<std::uint16_t>(v >> 16));
    Put16(p + 2, static_cast<std::uint16_t>(v));
}

// The fixed part of every PCP request (RFC 6887 section 7.1).
void PutPcpHeader(std::vector<std::uint8_t>& out, std::uint8_t opcode, std::uint32_t lifetime,
                  const PcpAddress& client) {
    out[0] = kPcpVersion;
    out[1] = opcode;  // R = 0: a request
    Put32(&out[4], lifetime);
    std::copy(client.begin(), client.end(), out.begin() + 8);
}

}  // namespace

const char* NatPmpResultName(std::uint16_t code) {
    static constexpr const char* kNames[] = {"SUCCESS",          "UNSUPPORTED VERSION",
                                             "NOT AUTHORIZED",   "NETWORK FAILURE",
                                             "OUT OF RESOURCES", "UNSUPPORTED OPCODE"};
    return code < std::size(kNames) ? kNames[code] : "UNKNOWN";
}

std::array<std::uint8_t, 2> EncodeNatPmpExternalAddressRequest() {
    return {kNatPmpVersion, kNatPmpExternalAddress};
}

std::array<std::uint8_t, 12> EncodeNatPmpMapUdpRequest(std::uint16_t internalPort,
                                                       std::uint16_t suggestedExternalPort,
                                                       std::uint32_t lifetimeSeconds) {
    std::array<std::uint8_t, 12> b{};  // bytes 2-3 reserved, zero
    b[0] = kNatPmpVersion;
    b[1] = kNatPmpMapUdp;
    Put16(&b[4], internalPort);
    Put16(&b[6], suggestedExternalPort);
    Put32(&b[8], lifetimeSeconds);
    return b;
}

std::optional<NatPmpResponse> ParseNatPmpResponse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 8 || bytes[0] != kNatPmpVersion || (bytes[1] & kNatPmpResponseBit) == 0)
        return std::nullopt;
    NatPmpResponse r;
    r.opcode = static_cast<std::uint8_t>(bytes[1] & ~kNatPmpResponseBit);
    r.resultCode = Get16(bytes, 2);
    r.epochSeconds = Get32(bytes, 4);
    if (r.resultCode != kNatPmpSuccess)
        return r;
    switch (r.opcode) {
        case kNatPmpExternalAddress:
            if (bytes.size() < 12)
                return std::nullopt;
            // Already in network order on the wire.
            std::memcpy(&r.externalAddressNet, &bytes[8], 4);
            return r;
        case kNatPmpMapUdp:
        case kNatPmpMapTcp:
            if (bytes.size() < 16)
                return std::nullopt;
            r.internalPort = Get16(bytes, 8);
            r.externalPort = Get16(bytes, 10);
            r.lifetimeSeconds = Get32(bytes, 12);
            return r;
        default:
            return std::nullopt;  // a success for an opcode nobody asked about
    }
}

const char* PcpResultName(std::uint8_t code) {
    static constexpr const char* kNames[] = {
        "SUCCESS",          "UNSUPP_VERSION",        "NOT_AUTHORIZED",   "MALFORMED_REQUEST",
        "UNSUPP_OPCODE",    "UNSUPP_OPTION",         "MALFORMED_OPTION", "NETWORK_FAILURE",
        "NO_RESOURCES",     "UNSUPP_PROTOCOL",       "USER_EX_QUOTA",    "CANNOT_PROVIDE_EXTERNAL",
        "ADDRESS_MISMATCH", "EXCESSIVE_REMOTE_PEERS"};
    return code < std::size(kNames) ? kNames[code] : "UNKNOWN";
}

PcpAddress PcpIpv4(std::uint32_t addressNet) {
    PcpAddress a{};
    a[10] = 0xFF;
    a[11] = 0xFF;
    std::memcpy(&a[12], &addressNet, 4);
    return a;
}

std::optional<std::uint32_t> PcpAsIpv4(const PcpAddress& a) {
    static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (!std::equal(std::begin(kPrefix), std::end(kPrefix), a.begin()))
        return std::nullopt;
    std::uint32_t v = 0;
    std::memcpy(&v, &a[12], 4);
    return v;
}

std::vector<std::uint8_t> EncodePcpAnnounce(const PcpAddress& clientAddress) {
    std::vector<std::uint8_t> out(kPcpHeaderLength, 0);
    PutPcpHeader(out, kPcpAnnounce, 0, clientAddress);
    return out;
}

std::vector<std::uint8_t> EncodePcpMap(const PcpMapRequest& r) {
    std::vector<std::uint8_t> out(kPcpHeaderLength + kPcpMapPayloadLength, 0);
    PutPcpHeader(out, kPcpMap, r.lifetimeSeconds, r.clientAddress);
    std::uint8_t* p = &out[kPcpHeaderLength];
    std::copy(r.nonce.begin(), r.nonce.end(), p);
    p[12] = r.protocol;  // then 3 reserved bytes
    Put16(p + 16, r.internalPort);
    Put16(p + 18, r.suggestedExternalPort);
    std::copy(r.suggestedExternalAddress.begin(), r.suggestedExternalAddress.end(), p + 20);
    return out;
}

PcpAnswer ParsePcpResponse(std::span<const std::uint8_t> bytes, PcpResponse& out) {
    if (bytes.size() >= 4 && bytes[0] == kNatPmpVersion && (bytes[1] & kNatPmpResponseBit) != 0 &&
        Get16(bytes, 2) == kNatPmpUnsupportedVersion) {
        return PcpAnswer::NatPmpOnly;
    }
    if (bytes.size() < kPcpHeaderLength || bytes.size() > kPcpMaxLength || bytes.size() % 4 != 0 ||
        bytes[0] != kPcpVersion || (bytes[1] & kPcpResponseBit) == 0) {
        return PcpAnswer::NotPcp;
    }
    PcpResponse r;
    r.opcode = static_cast<std::uint8_t>(bytes[1] & ~kPcpResponseBit);
    r.resultCode = bytes[3];
    r.lifetimeSeconds = Get32(bytes, 4);
    r.epochSeconds = Get32(bytes, 8);
    if (r.opcode == kPcpMap) {
        // Error responses echo the request's payload too (RFC 6887 section 8.3), so the nonce can
        // be checked either way.
        if (bytes.size() < kPcpHeaderLength + kPcpMapPayloadLength)
            return PcpAnswer::NotPcp;
        const std::size_t p = kPcpHeaderLength;
        std::copy_n(bytes.begin() + p, 12, r.nonce.begin());
        r.protocol = bytes[p + 12];
        r.internalPort = Get16(bytes, p + 16);
        r.externalPort = Get16(bytes, p + 18);
        std::copy_n(bytes.begin() + p + 20, 16, r.externalAddress.begin());
    }
    out = r;
    return PcpAnswer::Response;
}

bool PcpAnswersMap(const PcpMapRequest& request, const PcpResponse& response) {
    return response.opcode == kPcpMap && response.nonce == request.nonce &&
           response.protocol == request.protocol && response.internalPort == request.internalPort;
}

// ---- SSDP -------------------------------------------------------------------------------------

std::string EncodeSsdpSearch(bool multicast, const std::string& hostAddress) {
    std::string s = "M-SEARCH * HTTP/1.1\r\nHOST: ";
    s += multicast ? "239.255.255.250" : hostAddress;
    s += ":1900\r\nMAN: \"ssdp:discover\"\r\n";
    if (multicast)
        s += "MX: 1\r\n";
    s += "ST: ";
    s += kSsdpIgdType;
    s += "\r\n\r\n";
    return s;
}

namespace {

constexpr std::size_t kMaxUrl = 512;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

}  // namespace

std::optional<SsdpReply> ParseSsdpReply(std::span<const std::uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::size_t eol = text.find('\n');
    if (eol == std::string_view::npos)
        return std::nullopt;
    // "HTTP/1.1 200 OK"; some devices answer HTTP/1.0.
    const std::string_view status = Trim(text.substr(0, eol));
    if (status.substr(0, 5) != "HTTP/" || status.find(" 200") == std::string_view::npos)
        return std::nullopt;
    SsdpReply r;
    std::size_t at = eol + 1;
    while (at < text.size()) {
        eol = text.find('\n', at);
        const std::string_view line =
            text.substr(at, eol == std::string_view::npos ? std::string_view::npos : eol - at);
        at = eol == std::string_view::npos ? text.size() : eol + 1;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = Trim(line.substr(0, colon));
        const std::string_view value = Trim(line.substr(colon + 1));
        if (EqualsNoCase(name, "LOCATION"))
            r.location = std::string(value.substr(0, kMaxUrl + 1));
        else if (EqualsNoCase(name, "ST"))
            r.st = std::string(value.substr(0, 256));
        else if (EqualsNoCase(name, "SERVER"))
            r.server = std::string(value.substr(0, 256));
    }
    if (r.location.size() > kMaxUrl || r.location.rfind("http://", 0) != 0)
        return std::nullopt;
    for (char c : r.location + r.st + r.server) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return std::nullopt;  // no control characters reach the log
    }
    return r;
}

std::optional<std::uint32_t> UrlHostIpv4(const std::string& url) {
    if (url.rfind("http://", 0) != 0)
        return std::nullopt;
    const std::string_view rest = std::string_view(url).substr(7);
    const std::size_t end = rest.find_first_of(":/");
    return ParseIpv4(rest.substr(0, end));
}
