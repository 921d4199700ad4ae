#pragma once
// The wire formats of the router port-mapping protocols, as pure functions over bytes: NAT-PMP
// (RFC 6886), PCP (RFC 6887) and the SSDP search of UPnP (UPnP Device Architecture 1.1, section
// 1.3). Nothing here opens a socket or reads a clock. Any thread.
//
// Every parser takes whatever a network delivered: it reads only the bytes it is given and says
// no (an empty optional) to anything that is not a well-formed answer of its protocol.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The port a NAT-PMP or PCP server listens on (both protocols share it) and the one clients
// answer from is any.
inline constexpr std::uint16_t kPortMapServerPort = 5351;
inline constexpr std::uint8_t kNatPmpVersion = 0;
inline constexpr std::uint8_t kPcpVersion = 2;
// IANA protocol number of UDP, as PCP carries it.
inline constexpr std::uint8_t kProtocolUdp = 17;

// ---- NAT-PMP ----------------------------------------------------------------------------------

enum NatPmpOpcode : std::uint8_t {
    kNatPmpExternalAddress = 0,
    kNatPmpMapUdp = 1,
    kNatPmpMapTcp = 2,
};
// A response's opcode is its request's plus this.
inline constexpr std::uint8_t kNatPmpResponseBit = 0x80;

// Result codes (RFC 6886 section 3.5).
enum NatPmpResult : std::uint16_t {
    kNatPmpSuccess = 0,
    kNatPmpUnsupportedVersion = 1,
    kNatPmpNotAuthorized = 2,
    kNatPmpNetworkFailure = 3,
    kNatPmpOutOfResources = 4,
    kNatPmpUnsupportedOpcode = 5,
};
// "SUCCESS", "UNSUPPORTED VERSION", "NOT AUTHORIZED", "NETWORK FAILURE", "OUT OF RESOURCES",
// "UNSUPPORTED OPCODE"; "UNKNOWN" for any other code.
const char* NatPmpResultName(std::uint16_t code);

// The external address request: version 0, opcode 0 (2 bytes).
std::array<std::uint8_t, 2> EncodeNatPmpExternalAddressRequest();
// A UDP mapping request (12 bytes); lifetime 0 with suggested port 0 deletes the mapping.
std::array<std::uint8_t, 12> EncodeNatPmpMapUdpRequest(std::uint16_t internalPort,
                                                       std::uint16_t suggestedExternalPort,
                                                       std::uint32_t lifetimeSeconds);

struct NatPmpResponse {
    std::uint8_t opcode = 0;  // the request's opcode (the response bit removed)
    std::uint16_t resultCode = 0;
    std::uint32_t epochSeconds = 0;
    // Opcode 0 on success: the gateway's external address, network order.
    std::uint32_t externalAddressNet = 0;
    // Opcodes 1 and 2 on success (host order).
    std::uint16_t internalPort = 0;
    std::uint16_t externalPort = 0;
    std::uint32_t lifetimeSeconds = 0;
    bool operator==(const NatPmpResponse&) const = default;
};
// A response of version 0 with the response bit set. A success carries its opcode's whole
// body (12 bytes for opcode 0, 16 for 1 and 2); an error needs only the 8-byte header, as the
// other fields mean nothing then. Longer datagrams are accepted (RFC 6886 section 3.5: a future
// version may append).
std::optional<NatPmpResponse> ParseNatPmpResponse(std::span<const std::uint8_t> bytes);

// ---- PCP --------------------------------------------------------------------------------------

enum PcpOpcode : std::uint8_t {
    kPcpAnnounce = 0,
    kPcpMap = 1,
    kPcpPeer = 2,
};
inline constexpr std::uint8_t kPcpResponseBit = 0x80;
inline constexpr std::size_t kPcpHeaderLength = 24;
inline constexpr std::size_t kPcpMapPayloadLength = 36;
inline constexpr std::size_t kPcpMaxLength = 1100;  // RFC 6887 section 7

// Result codes (RFC 6887 section 7.4).
enum PcpResult : std::uint8_t {
    kPcpSuccess = 0,
    kPcpUnsuppVersion = 1,
    kPcpNotAuthorized = 2,
    kPcpMalformedRequest = 3,
    kPcpUnsuppOpcode = 4,
    kPcpUnsuppOption = 5,
    kPcpMalformedOption = 6,
    kPcpNetworkFailure = 7,
    kPcpNoResources = 8,
    kPcpUnsuppProtocol = 9,
    kPcpUserExQuota = 10,
    kPcpCannotProvideExternal = 11,
    kPcpAddressMismatch = 12,
    kPcpExcessiveRemotePeers = 13,
};
// The RFC's names: "SUCCESS", "UNSUPP_VERSION", ..., "EXCESSIVE_REMOTE_PEERS"; "UNKNOWN"
// for any other code.
const char* PcpResultName(std::uint8_t code);

using PcpAddress = std::array<std::uint8_t, 16>;  // IPv6, or IPv4-mapped (::ffff:a.b.c.d)
using PcpNonce = std::array<std::uint8_t, 12>;
PcpAddress PcpIpv4(std::uint32_t addressNet);
// The IPv4 address (network order) of an IPv4-mapped address; empty for any other.
std::optional<std::uint32_t> PcpAsIpv4(const PcpAddress& a);

// ANNOUNCE (24 bytes, lifetime 0): asks only whether a PCP server is there.
std::vector<std::uint8_t> EncodePcpAnnounce(const PcpAddress& clientAddress);

struct PcpMapRequest {
    PcpAddress clientAddress{};         // the source address the server will see
    std::uint32_t lifetimeSeconds = 0;  // 0 deletes the mapping
    PcpNonce nonce{};
    std::uint8_t protocol = kProtocolUdp;
    std::uint16_t internalPort = 0;
    std::uint16_t suggestedExternalPort = 0;
    PcpAddress suggestedExternalAddress{};  // all zero: no preference
};
// MAP (60 bytes).
std::vector<std::uint8_t> EncodePcpMap(const PcpMapRequest& request);

struct PcpResponse {
    std::uint8_t opcode = 0;  // the response bit removed
    std::uint8_t resultCode = 0;
    std::uint32_t lifetimeSeconds = 0;
    std::uint32_t epochSeconds = 0;
    // MAP responses only.
    PcpNonce nonce{};
    std::uint8_t protocol = 0;
    std::uint16_t internalPort = 0;
    std::uint16_t externalPort = 0;
    PcpAddress externalAddress{};
    bool operator==(const PcpResponse&) const = default;
};

enum class PcpAnswer : std::uint8_t {
    Response,    // a PCP response (out holds it)
    NatPmpOnly,  // a NAT-PMP server's "unsupported version": it speaks NAT-PMP, not PCP
    NotPcp,      // anything else: ignored
};
// A PCP response: version 2, the response bit, a length that is a multiple of 4 between 24 and
// 1100 bytes, and for MAP the whole 36-byte payload (options after it are not read). A version-0
// datagram answering with NAT-PMP's result code 1 (RFC 6887 section 9) is NatPmpOnly.
PcpAnswer ParsePcpResponse(std::span<const std::uint8_t> bytes, PcpResponse& out);
// The response answers this MAP request: opcode MAP, the same nonce, protocol and internal port
// (RFC 6887 section 11.4: anything else is not ours and is dropped).
bool PcpAnswersMap(const PcpMapRequest& request, const PcpResponse& response);

// ---- SSDP -------------------------------------------------------------------------------------

inline constexpr std::uint32_t kSsdpMulticastNet = 0xFAFFFFEFu;  // 239.255.255.250 in network order
inline constexpr std::uint16_t kSsdpPort = 1900;
inline constexpr const char* kSsdpIgdType = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";

// An M-SEARCH for Internet gateway devices. Multicast: HOST 239.255.255.250:1900 and MX 1 (the
// device answers within a second); unicast to hostAddress: no MX, as UDA 1.1 says.
std::string EncodeSsdpSearch(bool multicast, const std::string& hostAddress);

struct SsdpReply {
    std::string location;  // the device description's URL, http:// only
    std::string st;        // the search target it answers
    std::string server;    // its SERVER header, for the log ("" when absent)
    bool operator==(const SsdpReply&) const = default;
};
// An answer to a search: "HTTP/1.1 200 OK", headers matched without regard to case, a
// LOCATION of at most 512 characters beginning "http://". Empty for anything else, NOTIFY
// announcements included.
std::optional<SsdpReply> ParseSsdpReply(std::span<const std::uint8_t> bytes);
// The host part of an http:// URL as a dotted IPv4 address (network order); empty when it is a
// name or not a URL. The description is fetched only from an address checked this way.
std::optional<std::uint32_t> UrlHostIpv4(const std::string& url);
