#include "net/stun_message.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "core/text_table.h"
#include "net/messages.h"

namespace {

// RFC 5389: reason phrases and SOFTWARE are under 128 characters, at most 763 bytes of UTF-8.
constexpr std::size_t kMaxStunText = 763;
// The largest message: the 16-bit length field, kept a multiple of 4.
constexpr std::size_t kMaxStunBody = 0xFFFC;

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

std::size_t Padded(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

// The XOR key of XOR-MAPPED-ADDRESS: the cookie field then the transaction ID, as on the wire.
std::array<std::uint8_t, 16> XorKey(std::uint32_t cookie,
                                    const std::array<std::uint8_t, 12>& transactionId) {
    std::array<std::uint8_t, 16> key{};
    WriteBe32(key.data(), cookie);
    std::memcpy(key.data() + 4, transactionId.data(), transactionId.size());
    return key;
}

bool IsAddressAttribute(std::uint16_t type) {
    switch (type) {
        case kStunAttrMappedAddress:
        case kStunAttrXorMappedAddress:
        case kStunAttrResponseOrigin:
        case kStunAttrOtherAddress:
        case kStunAttrChangedAddress:
        case kStunAttrSourceAddress:
            return true;
        default:
            return false;
    }
}

StunAddress* AddressField(StunMessage& m, std::uint16_t type) {
    switch (type) {
        case kStunAttrMappedAddress:
            return &m.mapped;
        case kStunAttrXorMappedAddress:
            return &m.xorMapped;
        case kStunAttrResponseOrigin:
            return &m.responseOrigin;
        case kStunAttrOtherAddress:
            return &m.otherAddress;
        case kStunAttrChangedAddress:
            return &m.changedAddress;
        case kStunAttrSourceAddress:
            return &m.sourceAddress;
        default:
            return nullptr;
    }
}

// Value: reserved byte, family, port, then 4 or 16 address bytes.
StunParseError ParseAddress(const std::uint8_t* v, std::size_t len, const std::uint8_t* xorKey,
                            StunAddress& out) {
    if (len < 4)
        return StunParseError::BadAttributeLength;
    std::uint8_t raw[20] = {};
    const std::uint8_t family = v[1];
    const std::size_t want = family == kStunFamilyIpv4 ? 8 : family == kStunFamilyIpv6 ? 20 : 0;
    if (want == 0)
        return StunParseError::BadFamily;
    if (len != want)
        return StunParseError::BadAttributeLength;
    std::memcpy(raw, v, want);
    if (xorKey != nullptr) {
        for (std::size_t i = 2; i < want; ++i)
            raw[i] ^= xorKey[i < 4 ? i - 2 : i - 4];
    }
    out = StunAddress{};
    out.present = true;
    out.family = family;
    std::memcpy(&out.port, raw + 2, 2);
    if (family == kStunFamilyIpv4)
        std::memcpy(&out.address, raw + 4, 4);
    else
        std::memcpy(out.address6.data(), raw + 4, 16);
    return StunParseError::None;
}

std::size_t AddressValueLength(const StunAddress& a) {
    return a.family == kStunFamilyIpv4 ? 8 : a.family == kStunFamilyIpv6 ? 20 : 0;
}

// Writes attributes one after another; with a null buffer only counts.
class CWriter {
public:
    explicit CWriter(std::uint8_t* out) : m_out(out) {}
    std::size_t Size() const { return m_pos; }
    bool Ok() const { return m_ok; }
    void Fail() { m_ok = false; }

    // Header and value; the padding is written as zeros.
    std::uint8_t* Attribute(std::uint16_t type, std::size_t len) {
        if (len > 0xFFFF) {
            m_ok = false;
            return nullptr;
        }
        std::uint8_t* value = nullptr;
        if (m_out != nullptr) {
            WriteBe16(m_out + m_pos, type);
            WriteBe16(m_out + m_pos + 2, static_cast<std::uint16_t>(len));
            value = m_out + m_pos + 4;
            std::memset(value, 0, Padded(len));
        }
        m_pos += 4 + Padded(len);
        return value;
    }

    void Address(std::uint16_t type, const StunAddress& a, const std::uint8_t* xorKey) {
        if (!a.present)
            return;
        const std::size_t len = AddressValueLength(a);
        if (len == 0) {
            m_ok = false;
            return;
        }
        std::uint8_t* v = Attribute(type, len);
        if (v == nullptr)
            return;
        v[1] = a.family;
        std::memcpy(v + 2, &a.port, 2);
        if (a.family == kStunFamilyIpv4)
            std::memcpy(v + 4, &a.address, 4);
        else
            std::memcpy(v + 4, a.address6.data(), 16);
        if (xorKey != nullptr) {
            for (std::size_t i = 2; i < len; ++i)
                v[i] ^= xorKey[i < 4 ? i - 2 : i - 4];
        }
    }

    void Text(std::uint16_t type, const std::string& s) {
        if (s.size() > kMaxStunText) {
            m_ok = false;
            return;
        }
        std::uint8_t* v = Attribute(type, s.size());
        if (v != nullptr && !s.empty())
            std::memcpy(v, s.data(), s.size());
    }

private:
    std::uint8_t* m_out;
    std::size_t m_pos = kStunHeaderLength;
    bool m_ok = true;
};

// Everything but the header and FINGERPRINT.
void WriteAttributes(const StunMessage& m, CWriter& w) {
    const std::array<std::uint8_t, 16> key = XorKey(m.cookie, m.transactionId);
    w.Address(kStunAttrMappedAddress, m.mapped, nullptr);
    w.Address(kStunAttrXorMappedAddress, m.xorMapped, key.data());
    w.Address(kStunAttrResponseOrigin, m.responseOrigin, nullptr);
    w.Address(kStunAttrOtherAddress, m.otherAddress, nullptr);
    w.Address(kStunAttrChangedAddress, m.changedAddress, nullptr);
    w.Address(kStunAttrSourceAddress, m.sourceAddress, nullptr);
    if (m.hasChangeRequest) {
        if (std::uint8_t* v = w.Attribute(kStunAttrChangeRequest, 4))
            WriteBe32(v, m.changeFlags);
    }
    if (m.hasResponsePort) {
        if (std::uint8_t* v = w.Attribute(kStunAttrResponsePort, 4))
            std::memcpy(v, &m.responsePort, 2);
    }
    if (m.hasErrorCode) {
        if (m.errorCode > 799 || m.errorReason.size() > kMaxStunText) {
            w.Fail();
        } else if (std::uint8_t* v = w.Attribute(kStunAttrErrorCode, 4 + m.errorReason.size())) {
            v[2] = static_cast<std::uint8_t>(m.errorCode / 100);
            v[3] = static_cast<std::uint8_t>(m.errorCode % 100);
            if (!m.errorReason.empty())
                std::memcpy(v + 4, m.errorReason.data(), m.errorReason.size());
        }
    }
    if (!m.unknownAttributes.empty()) {
        if (std::uint8_t* v =
                w.Attribute(kStunAttrUnknownAttributes, 2 * m.unknownAttributes.size())) {
            for (std::size_t i = 0; i < m.unknownAttributes.size(); ++i)
                WriteBe16(v + 2 * i, m.unknownAttributes[i]);
        }
    }
    if (m.hasSoftware)
        w.Text(kStunAttrSoftware, m.software);
    if (m.hasPadding)
        w.Attribute(kStunAttrPadding, m.paddingLength);
}

constexpr std::size_t kFingerprintAttributeLength = 8;

}  // namespace

const char* StunParseErrorText(StunParseError error) {
    static constexpr const char* kTexts[] = {
        "ok",
        "shorter than the 20-byte header",
        "first two bits not zero",
        "length field disagrees with the datagram",
        "length not a multiple of 4",
        "attribute runs past the end",
        "attribute value of the wrong length",
        "unknown address family",
        "error number above 99",
        "wrong FINGERPRINT",
        "attribute after FINGERPRINT",
    };
    static_assert(std::size(kTexts) ==
                  static_cast<std::size_t>(StunParseError::AfterFingerprint) + 1);
    const char* text = TextOf(kTexts, error);
    return *text != '\0' ? text : "?";
}

std::uint16_t StunMessageType(std::uint16_t method, StunClass cls) {
    const auto c = static_cast<std::uint16_t>(cls);
    return static_cast<std::uint16_t>((method & 0x000F) | ((method & 0x0070) << 1) |
                                      ((method & 0x0F80) << 2) | ((c & 1) << 4) | ((c & 2) << 7));
}

std::uint16_t StunMethodOf(std::uint16_t type) {
    return static_cast<std::uint16_t>((type & 0x000F) | ((type & 0x00E0) >> 1) |
                                      ((type & 0x3E00) >> 2));
}

StunClass StunClassOf(std::uint16_t type) {
    return static_cast<StunClass>(((type >> 4) & 1) | ((type >> 7) & 2));
}

std::uint32_t StunCrc32(const std::uint8_t* data, std::size_t len) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < len; ++i)
        c = kCrcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

bool IsKnownStunAttribute(std::uint16_t type) {
    switch (type) {
        case kStunAttrChangeRequest:
        case kStunAttrUsername:
        case kStunAttrMessageIntegrity:
        case kStunAttrErrorCode:
        case kStunAttrUnknownAttributes:
        case kStunAttrMessageIntegritySha256:
        case kStunAttrPadding:
        case kStunAttrResponsePort:
        case kStunAttrSoftware:
        case kStunAttrFingerprint:
            return true;
        default:
            return IsAddressAttribute(type);
    }
}

StunAddress StunIpv4(std::uint32_t addressNet, std::uint16_t portNet) {
    StunAddress a;
    a.present = true;
    a.family = kStunFamilyIpv4;
    a.address = addressNet;
    a.port = portNet;
    return a;
}

StunAddress StunIpv6(const std::array<std::uint8_t, 16>& address, std::uint16_t portNet) {
    StunAddress a;
    a.present = true;
    a.family = kStunFamilyIpv6;
    a.address6 = address;
    a.port = portNet;
    return a;
}

bool LooksLikeStun(const std::uint8_t* data, std::size_t len) {
    return len >= kStunHeaderLength && (data[0] & 0xC0) == 0 &&
           ReadBe32(data + 4) == kStunMagicCookie;
}

bool LooksLikeRfc3489Request(const std::uint8_t* data, std::size_t len) {
    return len >= kStunHeaderLength &&
           ReadBe16(data) == StunMessageType(kStunMethodBinding, StunClass::Request) &&
           ReadBe16(data + 2) + kStunHeaderLength == len && ReadBe32(data + 4) != kStunMagicCookie;
}

StunParseError ParseStun(const std::uint8_t* data, std::size_t len, StunMessage& out) {
    if (len < kStunHeaderLength)
        return StunParseError::TooShort;
    if ((data[0] & 0xC0) != 0)
        return StunParseError::NotStun;
    const std::size_t bodyLen = ReadBe16(data + 2);
    if (bodyLen + kStunHeaderLength != len)
        return StunParseError::LengthMismatch;
    if (bodyLen % 4 != 0)
        return StunParseError::BadAlignment;

    out = StunMessage{};
    const std::uint16_t type = ReadBe16(data);
    out.method = StunMethodOf(type);
    out.cls = StunClassOf(type);
    out.cookie = ReadBe32(data + 4);
    std::memcpy(out.transactionId.data(), data + 8, kStunTransactionIdLength);
    const std::array<std::uint8_t, 16> key = XorKey(out.cookie, out.transactionId);

    bool afterIntegrity = false;
    bool afterFingerprint = false;
    // First copies only: a bit per attribute kind already taken.
    bool seenChange = false, seenError = false, seenUnknown = false, seenSoftware = false,
         seenPadding = false, seenResponsePort = false;
    std::size_t pos = kStunHeaderLength;
    while (pos < len) {
        if (afterFingerprint)
            return StunParseError::AfterFingerprint;
        // The body is a multiple of 4, so at least a whole attribute header is here.
        const std::uint16_t attrType = ReadBe16(data + pos);
        const std::size_t attrLen = ReadBe16(data + pos + 2);
        if (Padded(attrLen) > len - pos - 4)
            return StunParseError::AttributeOverrun;
        const std::uint8_t* v = data + pos + 4;
        const std::size_t attrStart = pos;
        pos += 4 + Padded(attrLen);

        if (attrType == kStunAttrFingerprint) {
            if (attrLen != 4)
                return StunParseError::BadAttributeLength;
            if ((StunCrc32(data, attrStart) ^ kStunFingerprintXor) != ReadBe32(v))
                return StunParseError::BadFingerprint;
            out.fingerprint = true;
            afterFingerprint = true;
            continue;
        }
        // Only FINGERPRINT may follow MESSAGE-INTEGRITY; anything else there is ignored.
        if (afterIntegrity)
            continue;

        if (IsAddressAttribute(attrType)) {
            StunAddress a;
            const StunParseError e = ParseAddress(
                v, attrLen, attrType == kStunAttrXorMappedAddress ? key.data() : nullptr, a);
            if (e != StunParseError::None)
                return e;
            StunAddress* field = AddressField(out, attrType);
            if (!field->present)
                *field = a;
            continue;
        }
        switch (attrType) {
            case kStunAttrChangeRequest:
                if (attrLen != 4)
                    return StunParseError::BadAttributeLength;
                if (!seenChange) {
                    out.hasChangeRequest = true;
                    out.changeFlags = ReadBe32(v);
                }
                seenChange = true;
                break;
            case kStunAttrErrorCode:
                if (attrLen < 4 || attrLen - 4 > kMaxStunText)
                    return StunParseError::BadAttributeLength;
                if (v[3] > 99)
                    return StunParseError::BadErrorCode;
                if (!seenError) {
                    out.hasErrorCode = true;
                    out.errorCode = static_cast<std::uint16_t>((v[2] & 0x07) * 100 + v[3]);
                    out.errorReason.assign(reinterpret_cast<const char*>(v + 4), attrLen - 4);
                }
                seenError = true;
                break;
            case kStunAttrUnknownAttributes:
                if (attrLen % 2 != 0)
                    return StunParseError::BadAttributeLength;
                if (!seenUnknown) {
                    for (std::size_t i = 0; i < attrLen; i += 2)
                        out.unknownAttributes.push_back(ReadBe16(v + i));
                }
                seenUnknown = true;
                break;
            case kStunAttrSoftware:
                if (attrLen > kMaxStunText)
                    return StunParseError::BadAttributeLength;
                if (!seenSoftware) {
                    out.hasSoftware = true;
                    out.software.assign(reinterpret_cast<const char*>(v), attrLen);
                }
                seenSoftware = true;
                break;
            case kStunAttrPadding:
                if (!seenPadding) {
                    out.hasPadding = true;
                    out.paddingLength = static_cast<std::uint16_t>(attrLen);
                }
                seenPadding = true;
                break;
            case kStunAttrResponsePort:
                if (attrLen != 4)
                    return StunParseError::BadAttributeLength;
                if (!seenResponsePort) {
                    out.hasResponsePort = true;
                    std::memcpy(&out.responsePort, v, 2);
                }
                seenResponsePort = true;
                break;
            case kStunAttrMessageIntegrity:
            case kStunAttrMessageIntegritySha256:
                out.hadMessageIntegrity = true;
                afterIntegrity = true;
                break;
            case kStunAttrUsername:
                break;  // no credentials are used
            default:
                if (attrType < 0x8000 &&
                    std::find(out.unknownRequired.begin(), out.unknownRequired.end(), attrType) ==
                        out.unknownRequired.end()) {
                    out.unknownRequired.push_back(attrType);
                }
                break;
        }
    }
    return StunParseError::None;
}

std::size_t StunEncodedLength(const StunMessage& msg) {
    CWriter w(nullptr);
    WriteAttributes(msg, w);
    const std::size_t total = w.Size() + (msg.fingerprint ? kFingerprintAttributeLength : 0);
    if (!w.Ok() || total - kStunHeaderLength > kMaxStunBody)
        return 0;
    return total;
}

std::size_t EncodeStun(const StunMessage& msg, std::uint8_t* out, std::size_t cap) {
    const std::size_t total = StunEncodedLength(msg);
    if (total == 0 || total > cap || (msg.method & ~0x0FFF) != 0)
        return 0;
    WriteBe16(out, StunMessageType(msg.method, msg.cls));
    WriteBe16(out + 2, static_cast<std::uint16_t>(total - kStunHeaderLength));
    WriteBe32(out + 4, msg.cookie);
    std::memcpy(out + 8, msg.transactionId.data(), kStunTransactionIdLength);
    CWriter w(out);
    WriteAttributes(msg, w);
    if (msg.fingerprint) {
        const std::size_t at = w.Size();
        WriteBe16(out + at, kStunAttrFingerprint);
        WriteBe16(out + at + 2, 4);
        WriteBe32(out + at + 4, StunCrc32(out, at) ^ kStunFingerprintXor);
    }
    return total;
}
