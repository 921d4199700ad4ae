#include "cli/json_output.h"

#include <cstdio>
#include <iterator>
#include <optional>
#include <string_view>

#include "core/sys_inet.h"

namespace {

// The verdict texts of the three yes/no verdicts, exactly as the log writes them.
constexpr const char* kLoopbackYes = "YES(GOOD FOR PEER-TO-PEER)";
constexpr const char* kLoopbackNo = "NO";
constexpr const char* kExceptionalYes = "NAT PORT ALLOCATE RULE HAS EXCEPTIONAL BEHAVIOR.";
constexpr const char* kExceptionalNo = "NAT PORT ALLOCATE RULE HAS NO EXCEPTIONAL BEHAVIOR.";
constexpr const char* kMultiClientGood = "GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND It";
constexpr const char* kMultiClientBad =
    "MAYBE NOT GOOD BEHAVIOR NAT WITH MORE THAN ONE TARNWICK BEHIND IT";

std::string Dotted(std::uint32_t addrNet) {
    const auto* b = reinterpret_cast<const unsigned char*>(&addrNet);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return buf;
}

std::string CodeVerdict(const std::optional<std::int32_t>& code,
                        const char* (*text)(std::int32_t)) {
    if (!code)
        return "null";
    return "{\"code\":" + std::to_string(*code) + ",\"text\":" + JsonString(text(*code)) + "}";
}

std::string YesNoVerdict(const std::optional<bool>& value, const char* yes, const char* no) {
    if (!value)
        return "null";
    return std::string("{\"code\":") + (*value ? "true" : "false") +
           ",\"text\":" + JsonString(*value ? yes : no) + "}";
}

std::string Port(const std::optional<std::uint16_t>& port) {
    return port ? std::to_string(*port) : "null";
}

std::string Bool(const std::optional<bool>& b) {
    return b ? (*b ? "true" : "false") : "null";
}

// The keys of "compatible", in kPeerKinds order.
constexpr const char* kPeerKeys[] = {"open", "fullCone", "restricted", "portRestricted",
                                     "symmetric"};
static_assert(std::size(kPeerKeys) == kPeerKinds.size(), "one key per peer kind");

}  // namespace

CheckEnd CheckEndOfStatus(const char* status) {
    const std::string_view s = status;
    if (s == kStatusInterrupted)
        return CheckEnd::Stopped;
    if (s == kStatusSocketsFailed)
        return CheckEnd::SocketsTaken;
    if (s == kStatusInvalidSettings)
        return CheckEnd::InvalidSettings;
    return CheckEnd::Summary;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string FormatOutcomeJson(const char* status, const CheckOutcome& o,
                              const std::vector<std::string>& lines, std::int64_t durationMs,
                              const CheckFacts& facts) {
    std::string j = "{\"status\":" + JsonString(status);
    j += ",\"filter\":" + CodeVerdict(o.filterType, FilterTypeText);
    j += ",\"loopback\":" + YesNoVerdict(o.loopback, kLoopbackYes, kLoopbackNo);
    j += ",\"allocation\":" + CodeVerdict(o.allocRule, AllocRuleText);
    j += ",\"exceptional\":" + YesNoVerdict(o.exceptional, kExceptionalYes, kExceptionalNo);
    j += ",\"multiClient\":" + YesNoVerdict(o.multiClientGood, kMultiClientGood, kMultiClientBad);
    // A mapped port of 0 means Server1 never reported one.
    if (o.mappedPort == 0) {
        j += ",\"mapped\":null";
    } else {
        j += ",\"mapped\":{\"address\":" + JsonString(Dotted(o.mappedIp)) +
             ",\"port\":" + std::to_string(ntohs(o.mappedPort)) + "}";
    }
    j += ",\"ports\":{\"allocA\":" + Port(o.allocPortA) + ",\"allocB\":" + Port(o.allocPortB) +
         ",\"allocC\":" + Port(o.allocPortC) + ",\"except1\":" + Port(o.exceptPort1) +
         ",\"except2\":" + Port(o.exceptPort2) + ",\"port9802\":" + Port(o.friendSockMappedPort) +
         ",\"friendPort9802\":" + Port(o.friendReportedPort) + "}";
    j += ",\"friend\":" + (o.friendIp ? JsonString(Dotted(*o.friendIp)) : std::string("null"));
    j += ",\"lines\":[";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0)
            j += ',';
        j += JsonString(lines[i]);
    }
    j += "],\"durationMs\":" + std::to_string(durationMs);
    // After the original fields, so that their text stays as it was for those who match it.
    const P2pMeaning meaning = MeaningOfCheck(o, facts);
    j += ",\"mapping\":" + BehaviourJson(meaning.mapping);
    j += ",\"filtering\":" + BehaviourJson(meaning.filtering);
    j += ",\"hairpinning\":" + Bool(meaning.hairpinning);
    j += ",\"p2p\":" + P2pJson(meaning) + "}";
    return j;
}

std::string BehaviourJson(const std::optional<StunBehaviour>& behaviour) {
    return behaviour ? JsonString(StunBehaviourName(*behaviour)) : "null";
}

std::string P2pJson(const P2pMeaning& m) {
    std::string j = "{\"rating\":";
    j += m.rating ? JsonString(P2pRatingName(*m.rating)) : "null";
    j += ",\"nat\":" + Bool(m.nat);
    j += ",\"portPreservation\":" + Bool(m.portPreservation);
    j += ",\"severalCopies\":" + Bool(m.severalCopies);
    j += ",\"text\":" + JsonString(P2pText(m));
    j += ",\"compatible\":{";
    for (PeerKind peer : kPeerKinds) {
        const auto i = static_cast<std::size_t>(peer);
        j += std::string(i == 0 ? "" : ",") + "\"" + kPeerKeys[i] +
             "\":" + Bool(m.CompatibleWith(peer));
    }
    return j + "}}";
}

std::string P2pBlockText(const P2pMeaning& meaning) {
    std::string text = "\n";
    for (const std::string& line : P2pMeaningLines(meaning))
        text += line + "\n";
    return text;
}
