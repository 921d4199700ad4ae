#pragma once
// The STUN message format (RFC 5389/8489 header and attributes, the RFC 5780 behaviour-discovery
// attributes and the RFC 3489 ones still sent by old servers): one parser, one encoder, plain
// values. Any thread: nothing here keeps state.
//
// Like the rest of net/, addresses and ports are held in network byte order. The parser reads
// only the bytes it is given; anything inconsistent is refused with a reason instead of being
// half-read.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::uint32_t kStunMagicCookie = 0x2112A442;
inline constexpr std::size_t kStunHeaderLength = 20;
inline constexpr std::size_t kStunTransactionIdLength = 12;
inline constexpr std::uint16_t kStunMethodBinding = 0x001;

// Attribute types. Below 0x8000 a receiver must understand the attribute or refuse the message.
inline constexpr std::uint16_t kStunAttrMappedAddress = 0x0001;
inline constexpr std::uint16_t kStunAttrSourceAddress = 0x0004;   // RFC 3489 servers
inline constexpr std::uint16_t kStunAttrChangedAddress = 0x0005;  // RFC 3489 servers
inline constexpr std::uint16_t kStunAttrChangeRequest = 0x0003;
inline constexpr std::uint16_t kStunAttrUsername = 0x0006;
inline constexpr std::uint16_t kStunAttrMessageIntegrity = 0x0008;
inline constexpr std::uint16_t kStunAttrErrorCode = 0x0009;
inline constexpr std::uint16_t kStunAttrUnknownAttributes = 0x000A;
inline constexpr std::uint16_t kStunAttrMessageIntegritySha256 = 0x001C;
inline constexpr std::uint16_t kStunAttrXorMappedAddress = 0x0020;
inline constexpr std::uint16_t kStunAttrPadding = 0x0026;
inline constexpr std::uint16_t kStunAttrResponsePort = 0x0027;  // RFC 5780 section 7.5
inline constexpr std::uint16_t kStunAttrSoftware = 0x8022;
inline constexpr std::uint16_t kStunAttrFingerprint = 0x8028;
inline constexpr std::uint16_t kStunAttrResponseOrigin = 0x802B;
inline constexpr std::uint16_t kStunAttrOtherAddress = 0x802C;

// CHANGE-REQUEST flags.
inline constexpr std::uint32_t kStunChangeIp = 0x4;
inline constexpr std::uint32_t kStunChangePort = 0x2;

// FINGERPRINT is the CRC-32 of the message before it, XORed with this ("STUN").
inline constexpr std::uint32_t kStunFingerprintXor = 0x5354554E;

enum class StunClass : std::uint8_t { Request = 0, Indication = 1, Success = 2, Error = 3 };

inline constexpr std::uint8_t kStunFamilyIpv4 = 0x01;
inline constexpr std::uint8_t kStunFamilyIpv6 = 0x02;

// One address attribute. For XOR-MAPPED-ADDRESS the values are held already un-XORed.
struct StunAddress {
    bool present = false;
    std::uint8_t family = 0;                  // kStunFamilyIpv4 or kStunFamilyIpv6
    std::uint32_t address = 0;                // IPv4 only; network order
    std::uint16_t port = 0;                   // network order
    std::array<std::uint8_t, 16> address6{};  // IPv6 only
    bool IsIpv4() const { return present && family == kStunFamilyIpv4; }
    bool operator==(const StunAddress&) const = default;
};

// A message with the attributes this program understands. The first copy of each attribute
// counts; later copies are skipped (as RFC 5389 allows).
struct StunMessage {
    std::uint16_t method = kStunMethodBinding;  // 12 bits
    StunClass cls = StunClass::Request;
    // kStunMagicCookie for RFC 5389 and later. Anything else is an RFC 3489 message, whose
    // 128-bit transaction ID is this field followed by transactionId.
    std::uint32_t cookie = kStunMagicCookie;
    std::array<std::uint8_t, kStunTransactionIdLength> transactionId{};

    StunAddress mapped;          // MAPPED-ADDRESS
    StunAddress xorMapped;       // XOR-MAPPED-ADDRESS
    StunAddress responseOrigin;  // RESPONSE-ORIGIN
    StunAddress otherAddress;    // OTHER-ADDRESS
    StunAddress changedAddress;  // CHANGED-ADDRESS (RFC 3489)
    StunAddress sourceAddress;   // SOURCE-ADDRESS (RFC 3489)

    bool hasChangeRequest = false;
    std::uint32_t changeFlags = 0;  // as sent; kStunChangeIp, kStunChangePort
    bool ChangeIp() const { return hasChangeRequest && (changeFlags & kStunChangeIp) != 0; }
    bool ChangePort() const { return hasChangeRequest && (changeFlags & kStunChangePort) != 0; }

    bool hasErrorCode = false;
    std::uint16_t errorCode = 0;  // class * 100 + number, e.g. 420
    std::string errorReason;

    // UNKNOWN-ATTRIBUTES as carried by an error response.
    std::vector<std::uint16_t> unknownAttributes;

    bool hasSoftware = false;
    std::string software;

    bool hasPadding = false;
    std::uint16_t paddingLength = 0;  // the value's length in bytes; its contents are ignored

    // RESPONSE-PORT: the port (network order) the response is to go to, at the request's
    // source address. On the wire the port and two bytes of padding (ignored when read).
    bool hasResponsePort = false;
    std::uint16_t responsePort = 0;

    // Set by the parser when a correct FINGERPRINT closes the message; the encoder then appends
    // one.
    bool fingerprint = false;

    // Parser output only, never encoded: MESSAGE-INTEGRITY(-SHA256) was present (not checked:
    // this program uses no credentials), and the comprehension-required attribute types that
    // are not understood, in order, each once.
    bool hadMessageIntegrity = false;
    std::vector<std::uint16_t> unknownRequired;

    bool IsRfc5389() const { return cookie == kStunMagicCookie; }
    bool operator==(const StunMessage&) const = default;
};

enum class StunParseError : std::uint8_t {
    None,
    TooShort,            // under the 20-byte header
    NotStun,             // the first two bits are not zero
    LengthMismatch,      // the length field disagrees with the datagram
    BadAlignment,        // the length is not a multiple of 4
    AttributeOverrun,    // an attribute (with its padding) runs past the end
    BadAttributeLength,  // an attribute's value has the wrong length for its type
    BadFamily,           // an address family other than IPv4 and IPv6
    BadErrorCode,        // error number above 99
    BadFingerprint,      // FINGERPRINT present and wrong
    AfterFingerprint,    // attributes after FINGERPRINT
};
const char* StunParseErrorText(StunParseError error);

// The cheap test that tells STUN from this program's own datagrams on a shared socket: at least
// a header, the first two bits zero and the magic cookie at offset 4. (Our own datagrams carry
// the low half of a 0x7x77700x code at offset 4, never 0x2112.)
bool LooksLikeStun(const std::uint8_t* data, std::size_t len);

// The test for an RFC 3489 Binding request, which LooksLikeStun does not pass (no magic cookie):
// message type 0x0001 and a length field that, with the 20-byte header, is the datagram's size;
// the 32 bits at offset 4 are anything but the magic cookie (they begin the 128-bit transaction
// ID). No datagram of ours passes it either: its first two bytes are its own length, never 1.
bool LooksLikeRfc3489Request(const std::uint8_t* data, std::size_t len);

// Parses a whole datagram. RFC 3489 messages (no magic cookie) are accepted too; callers that
// want only current STUN check IsRfc5389() or LooksLikeStun first. On failure out is left in an
// unspecified state.
StunParseError ParseStun(const std::uint8_t* data, std::size_t len, StunMessage& out);

// Writes msg into out (capacity cap bytes) in a fixed attribute order: MAPPED-ADDRESS,
// XOR-MAPPED-ADDRESS, RESPONSE-ORIGIN, OTHER-ADDRESS, CHANGED-ADDRESS, SOURCE-ADDRESS,
// CHANGE-REQUEST, RESPONSE-PORT, ERROR-CODE, UNKNOWN-ATTRIBUTES, SOFTWARE, PADDING, FINGERPRINT
// (when msg.fingerprint). Returns the length, or 0 when it does not fit, when a string is longer
// than 763 bytes or when an address has an unknown family.
std::size_t EncodeStun(const StunMessage& msg, std::uint8_t* out, std::size_t cap);

// What EncodeStun would write, in bytes (0 under the same conditions).
std::size_t StunEncodedLength(const StunMessage& msg);

// The message type field for a method and class, and back.
std::uint16_t StunMessageType(std::uint16_t method, StunClass cls);
std::uint16_t StunMethodOf(std::uint16_t type);
StunClass StunClassOf(std::uint16_t type);

// CRC-32 (ISO-HDLC, as in FINGERPRINT) of len bytes.
std::uint32_t StunCrc32(const std::uint8_t* data, std::size_t len);

// True for the attribute types ParseStun understands (those above, in either range).
bool IsKnownStunAttribute(std::uint16_t type);

// An IPv4 address attribute value (network order).
StunAddress StunIpv4(std::uint32_t addressNet, std::uint16_t portNet);
// An IPv6 one: the 16 address bytes as on the wire, the port in network order.
StunAddress StunIpv6(const std::array<std::uint8_t, 16>& address, std::uint16_t portNet);
