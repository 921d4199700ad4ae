#pragma once
// What a result means for peer-to-peer: the verdicts of the check (CheckOutcome) or of the standard
// STUN tests (StunOutcome) read as RFC 4787 behaviours, a rating and the well-known hole-punching
// matrix against each kind of peer. Pure functions of plain values: any thread.
//
// Nothing here guesses: a behaviour the verdicts do not determine stays empty ("not determined"),
// and so does every rating or compatibility that depends on it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/nat_prober.h"
#include "standard/mapping_lifetime.h"
#include "standard/stun_check.h"

enum class P2pRating : std::uint8_t {
    Easy,      // no NAT and nothing filtered, or endpoint-independent mapping and filtering
    Moderate,  // endpoint-independent mapping, restricted filtering: hole punching needed
    Hard,      // a mapping that depends on the destination: direct only with easy peers
};
const char* P2pRatingName(P2pRating rating);  // "easy", "moderate", "hard"

// The peer kinds of the compatibility table, in its order.
enum class PeerKind : std::uint8_t { Open, FullCone, Restricted, PortRestricted, Symmetric };
inline constexpr std::array<PeerKind, 5> kPeerKinds = {
    PeerKind::Open, PeerKind::FullCone, PeerKind::Restricted, PeerKind::PortRestricted,
    PeerKind::Symmetric};
// "open", "full cone", "restricted", "port restricted", "symmetric".
const char* PeerKindName(PeerKind kind);

// Whether UDP hole punching between a and b can be expected to give a direct connection. Fails
// only where a destination-dependent mapping meets a filter that wants the exact port: symmetric
// with port restricted, and symmetric with symmetric.
bool DirectUdpWorks(PeerKind a, PeerKind b);

// An IPv6 address as the STUN server saw it: this computer's own (a firewall at most); one that
// keeps the host part, the low 64 bits, of one of them (prefix translation); another (NAT66).
enum class Ipv6Translation : std::uint8_t { None, Prefix, Nat66 };
// "none", "prefix", "nat66".
const char* Ipv6TranslationName(Ipv6Translation t);

struct P2pMeaning {
    std::optional<bool> nat;  // false: the address is not translated (no NAT)
    // RFC 4787 behaviours. Without a NAT the mapping is endpoint-independent (one address for
    // every destination) and the filtering is the firewall's.
    std::optional<StunBehaviour> mapping;
    // Known also when the kind is not (a symmetric filter verdict without an allocation rule).
    std::optional<bool> mappingEndpointIndependent;
    std::optional<StunBehaviour> filtering;
    // The check's filter verdict SYMMETRIC behind a NAT: its filter test ends at the mapping,
    // so the filtering is not measured (rather than not determined).
    bool filteringNotMeasured = false;
    std::optional<bool> hairpinning;       // only behind a NAT
    std::optional<bool> portPreservation;  // a public port seen equal to its local port
    std::optional<bool> severalCopies;     // true: the good multi-client verdict
    // The standard STUN tests over IPv6: whether and how the address is translated (empty for
    // IPv4, for the check, and when the mapped address is unknown).
    std::optional<Ipv6Translation> ipv6;
    std::optional<P2pRating> rating;
    // Per kPeerKinds; each empty when this side's kind leaves the answer open.
    std::array<std::optional<bool>, kPeerKinds.size()> compatible{};
    // CheckEndText of how the check ended, where that explains missing verdicts (no verdict, or
    // stopped early); empty otherwise, and for the standard STUN tests.
    std::string endText;

    std::optional<bool> CompatibleWith(PeerKind peer) const {
        return compatible[static_cast<std::size_t>(peer)];
    }
};

// How a check ended, where that explains a missing verdict. The front end that ran it knows the
// first four; EndOfCheck reads the rest from the outcome of a summary without a filter verdict.
enum class CheckEnd : std::uint8_t {
    Summary,           // it reached the summary
    Stopped,           // the user stopped it (Esc, or SIGINT or SIGTERM for the command line)
    SocketsTaken,      // its UDP sockets could not be opened: no check ran
    InvalidSettings,   // a server address or port was zero (or not resolved): no check ran
    NoServerAnswered,  // Server1 never answered
    Server1Silent,     // Server1 reported the address, then no longer answered
    Server2Silent,     // Server1 answered, Server2 did not
    ExampleServers,    // no verdict, and the settings still name the built-in example servers
};

// Whose words the next steps are in: the desktop application's menus, or the command-line
// client's options and its settings file.
enum class FrontEnd : std::uint8_t { App, Cli };

// What the check's verdicts cannot say by themselves.
struct CheckFacts {
    // Whether the mapped address is one of this computer's own. Empty: inferred from the
    // verdicts (a SYMMETRIC filter with a NOT SYMMETRIC rule happens only without translation).
    std::optional<bool> mappedIsLocal = {};
    std::uint16_t port9802 = 9802;     // local port of the friend-search socket, host order
    CheckEnd end = CheckEnd::Summary;  // Summary, Stopped, SocketsTaken or InvalidSettings
    bool exampleServers = false;       // UsesExampleServers of the settings the check ran with
    FrontEnd frontEnd = FrontEnd::App;
    std::string settingsPath = {};  // the command-line client's settings file, for its next steps
};

P2pMeaning MeaningOfCheck(const CheckOutcome& outcome, const CheckFacts& facts = {});
// facts.end, or for a summary without a filter verdict (none, or UNKNOWN) the reason the
// outcome and the settings give; Summary when the check ended with one.
CheckEnd EndOfCheck(const CheckOutcome& outcome, const CheckFacts& facts);
// What happened and the next step, in the words of facts.frontEnd; empty for a Summary.
std::string CheckEndText(CheckEnd end, const CheckFacts& facts);
P2pMeaning MeaningOfStun(const StunOutcome& outcome);

inline constexpr const char* kP2pHeading = "What this means for peer-to-peer";

// A few plain sentences, one per element: how the check ended (where it explains missing
// verdicts), what the NAT does, the rating, then hairpinning, port preservation and several
// copies (the last two only where determined).
std::vector<std::string> P2pSentences(const P2pMeaning& meaning);
// The sentences joined by single blanks (the JSON's "text").
std::string P2pText(const P2pMeaning& meaning);
// The whole block for a log or a dialog: the heading, the sentences, a blank line and the
// compatibility table (a title and one row per peer kind).
std::vector<std::string> P2pMeaningLines(const P2pMeaning& meaning);

// The keep-alive sentence of a mapping lifetime test: how long an idle mapping lasted and how
// often to send to keep one, or that this was not determined.
std::string KeepAliveSentence(const LifetimeOutcome& outcome);
