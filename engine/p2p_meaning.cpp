#include "engine/p2p_meaning.h"

#include <iterator>

#include "core/text_table.h"

namespace {

using B = StunBehaviour;

// The kinds this side can be, as a set over kPeerKinds.
using KindSet = std::array<bool, kPeerKinds.size()>;

KindSet Only(PeerKind kind) {
    KindSet s{};
    s[static_cast<std::size_t>(kind)] = true;
    return s;
}

// Empty when nothing is known of the mapping: the server answered nothing useful, or not at all,
// and then even an open peer cannot be promised (UDP may not pass at all).
std::optional<KindSet> PossibleKinds(const P2pMeaning& m) {
    if (!m.mappingEndpointIndependent)
        return std::nullopt;
    if (!*m.mappingEndpointIndependent)
        return Only(PeerKind::Symmetric);
    const PeerKind unfiltered = m.nat == false ? PeerKind::Open : PeerKind::FullCone;
    if (!m.filtering) {
        KindSet s{};
        s[static_cast<std::size_t>(unfiltered)] = true;
        s[static_cast<std::size_t>(PeerKind::Restricted)] = true;
        s[static_cast<std::size_t>(PeerKind::PortRestricted)] = true;
        return s;
    }
    switch (*m.filtering) {
        case B::EndpointIndependent:
            return Only(unfiltered);
        case B::AddressDependent:
            return Only(PeerKind::Restricted);
        case B::AddressAndPortDependent:
            // A firewall that wants the exact address and port punches like a port-restricted NAT.
            return Only(PeerKind::PortRestricted);
    }
    return std::nullopt;
}

// Rating and table from the behaviours already filled in.
void Judge(P2pMeaning& m) {
    if (m.mapping)
        m.mappingEndpointIndependent = *m.mapping == B::EndpointIndependent;
    if (m.mappingEndpointIndependent == false) {
        m.rating = P2pRating::Hard;
    } else if (m.mappingEndpointIndependent == true && m.filtering) {
        m.rating = *m.filtering == B::EndpointIndependent ? P2pRating::Easy : P2pRating::Moderate;
    }
    const std::optional<KindSet> kinds = PossibleKinds(m);
    if (!kinds)
        return;
    for (PeerKind peer : kPeerKinds) {
        bool anyYes = false;
        bool anyNo = false;
        for (PeerKind self : kPeerKinds) {
            if (!(*kinds)[static_cast<std::size_t>(self)])
                continue;
            (DirectUdpWorks(self, peer) ? anyYes : anyNo) = true;
        }
        if (anyYes != anyNo)
            m.compatible[static_cast<std::size_t>(peer)] = anyYes;
    }
}

std::optional<B> MappingOfRule(const std::optional<std::int32_t>& rule) {
    if (!rule)
        return std::nullopt;
    switch (*rule) {
        case AllocNotSymmetric:
            return B::EndpointIndependent;
        case AllocAddressSensitive:
            return B::AddressDependent;
        case AllocPortSensitive:
            return B::AddressAndPortDependent;
        default:
            return std::nullopt;
    }
}

std::string JoinKinds(const std::vector<PeerKind>& kinds) {
    std::string s;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (i != 0)
            s += i + 1 == kinds.size() ? " and " : ", ";
        s += PeerKindName(kinds[i]);
    }
    return s;
}

// An untranslated IPv6 address: what the firewall in front of it lets in.
std::string NoNat66Sentence(const P2pMeaning& m) {
    const std::string s = "This computer's IPv6 address is public and not translated (no NAT66)";
    if (!m.filtering)
        return s + "; what its firewall lets in was not determined.";
    switch (*m.filtering) {
        case B::EndpointIndependent:
            return s +
                   ", and the firewall lets in packets from anyone to a port in use "
                   "(endpoint-independent filtering): open to anyone.";
        case B::AddressDependent:
            return s +
                   ", but the firewall lets in packets only from addresses it has sent to "
                   "(address-dependent filtering): peers need hole punching.";
        case B::AddressAndPortDependent:
            return s +
                   ", but the firewall lets in packets only from addresses and ports it has "
                   "sent to (address-and-port-dependent filtering): peers need hole punching.";
    }
    return s + ".";
}

std::string NoNatSentence(const P2pMeaning& m) {
    if (m.ipv6)
        return NoNat66Sentence(m);
    const std::string s = "This computer's address is public and not translated (no NAT)";
    if (!m.filtering)
        return s + "; what its firewall lets in was not determined.";
    switch (*m.filtering) {
        case B::EndpointIndependent:
            return s + ", and nothing filters incoming packets.";
        case B::AddressDependent:
            return s +
                   ", but a firewall lets in packets only from addresses it has sent to "
                   "(address-dependent filtering).";
        case B::AddressAndPortDependent:
            return s +
                   ", but a firewall lets in packets only from addresses and ports it has "
                   "sent to (address-and-port-dependent filtering).";
    }
    return s + ".";
}

std::string MappingSentence(const P2pMeaning& m) {
    if (!m.mapping) {
        return m.mappingEndpointIndependent == false
                   ? "The NAT gives different destinations different public ports (the mapping "
                     "is not endpoint-independent), so a peer cannot learn the port in advance."
                   : "How the NAT maps ports was not determined.";
    }
    switch (*m.mapping) {
        case B::EndpointIndependent:
            return "The NAT keeps one public address and port for all destinations "
                   "(endpoint-independent mapping).";
        case B::AddressDependent:
            return "The NAT gives each destination address a new public port (address-dependent "
                   "mapping), so a peer cannot learn the port in advance.";
        case B::AddressAndPortDependent:
            return "The NAT gives each destination address and port a new public port "
                   "(address-and-port-dependent mapping), so a peer cannot learn the port in "
                   "advance.";
    }
    return {};
}

std::string FilteringSentence(const P2pMeaning& m) {
    if (!m.filtering) {
        return m.filteringNotMeasured
                   ? "A symmetric NAT's filtering is not measured by this check: its filter "
                     "verdict says only that STUN Server2 saw another public port."
                   : "What it lets in was not determined.";
    }
    switch (*m.filtering) {
        case B::EndpointIndependent:
            return "It lets in packets from anyone to a port in use (endpoint-independent "
                   "filtering).";
        case B::AddressDependent:
            return "It lets in packets only from addresses this computer has sent to "
                   "(address-dependent filtering).";
        case B::AddressAndPortDependent:
            return "It lets in packets only from addresses and ports this computer has sent to "
                   "(address-and-port-dependent filtering).";
    }
    return {};
}

// What the NAT (or the firewall) does: one or two sentences.
void NatSentences(const P2pMeaning& m, std::vector<std::string>& out) {
    if (m.ipv6 == Ipv6Translation::Nat66) {
        out.push_back(
            "The IPv6 address is translated (NAT66): the public address differs from every "
            "address of this computer, in prefix and host part.");
    } else if (m.ipv6 == Ipv6Translation::Prefix) {
        out.push_back(
            "The IPv6 address is prefix-translated: the network prefix is replaced, the host "
            "part (the low 64 bits) kept.");
    }
    if (m.nat == false) {
        out.push_back(NoNatSentence(m));
    } else if (!m.mappingEndpointIndependent && !m.filtering) {
        out.push_back("The check could not determine how the NAT maps and filters packets.");
    } else {
        out.push_back(MappingSentence(m));
        out.push_back(FilteringSentence(m));
    }
}

std::string RatingSentence(const P2pMeaning& m) {
    if (!m.rating)
        return "Peer-to-peer rating: not determined.";
    std::string s = std::string("Peer-to-peer rating: ") + P2pRatingName(*m.rating) + ".";
    switch (*m.rating) {
        case P2pRating::Easy:
            s += " Peers can reach its public address directly.";
            break;
        case P2pRating::Moderate:
            s += " A direct connection needs hole punching (both sides sending at once).";
            break;
        case P2pRating::Hard:
            s += " Its public port cannot be predicted.";
            break;
    }
    std::vector<PeerKind> yes;
    std::vector<PeerKind> no;
    for (PeerKind peer : kPeerKinds) {
        if (const auto c = m.CompatibleWith(peer))
            (*c ? yes : no).push_back(peer);
    }
    if (yes.size() == kPeerKinds.size()) {
        s += " A direct UDP connection can be expected with every kind of peer.";
    } else if (!no.empty()) {
        s += " A direct UDP connection can be expected with " + JoinKinds(yes) +
             " peers, not with " + JoinKinds(no) + " peers: those need a relay.";
    }
    return s;
}

// What happened, then the next step in the desktop application's and in the command-line
// client's words ("{file}": its settings file), per CheckEnd from Stopped on.
struct EndWords {
    const char* happened;
    const char* app;
    const char* cli;
};
constexpr EndWords kEndWords[] = {
    {"The check was stopped before it finished.", "Press F5 to run it again, and let it end.",
     "Run the check again, and let it end."},
    {"The UDP sockets could not be opened, so no check ran; another running copy may hold ports "
     "9801 and 9802.",
     "Close the other copy, then press F5.",
     "Stop the other copy (gatewise-cli --respond included), then run the check again."},
    {"No check was started: a server's address or port is zero, or its name could not be "
     "resolved.",
     "Enter both servers in File > STUN Setting.",
     "Set STUN1_IP, STUN1_PORT, STUN2_IP and STUN2_PORT in {file}, or give --server1 and "
     "--server2."},
    {"No server answered.",
     "Check File > STUN Setting, or run File > Standard STUN Check against a public STUN server.",
     "Check the servers in {file} (or give --server1 and --server2), or run gatewise-cli --stun "
     "HOST against a public STUN server."},
    {"STUN Server1 answered once, then stopped answering.",
     "Press F5 to try again; if it happens again, check STUN Server1 in File > STUN Setting.",
     "Run the check again; if it happens again, check STUN1_IP and STUN1_PORT in {file} (or give "
     "--server1)."},
    {"STUN Server1 answered but STUN Server2 did not, so the filter test could not finish.",
     "Check STUN Server2 in File > STUN Setting.",
     "Check STUN2_IP and STUN2_PORT in {file} (or give --server2)."},
    {"The settings still name the built-in example servers 192.168.0.55 and 192.168.0.97, which "
     "answer nobody.",
     "Enter your servers in File > STUN Setting, or run File > Standard STUN Check against a "
     "public STUN server.",
     "Enter your servers in {file} (or give --server1 and --server2), or run gatewise-cli --stun "
     "HOST against a public STUN server."},
};
static_assert(std::size(kEndWords) == static_cast<std::size_t>(CheckEnd::ExampleServers) -
                                          static_cast<std::size_t>(CheckEnd::Stopped) + 1);

}  // namespace

CheckEnd EndOfCheck(const CheckOutcome& o, const CheckFacts& facts) {
    if (facts.end != CheckEnd::Summary || (o.filterType && *o.filterType != FilterUnknown))
        return facts.end;
    if (facts.exampleServers)
        return CheckEnd::ExampleServers;
    if (o.silentServer == 2)
        return CheckEnd::Server2Silent;
    // Server1 gave the address (a port of 0 is none) and then fell silent.
    return o.mappedPort != 0 ? CheckEnd::Server1Silent : CheckEnd::NoServerAnswered;
}

std::string CheckEndText(CheckEnd end, const CheckFacts& facts) {
    if (end == CheckEnd::Summary)
        return {};
    const EndWords& words =
        kEndWords[static_cast<std::size_t>(end) - static_cast<std::size_t>(CheckEnd::Stopped)];
    std::string next = facts.frontEnd == FrontEnd::App ? words.app : words.cli;
    if (const std::size_t at = next.find("{file}"); at != std::string::npos) {
        next.replace(
            at, 6,
            facts.settingsPath.empty() ? "the settings file" : "'" + facts.settingsPath + "'");
    }
    return std::string(words.happened) + " " + next;
}

const char* P2pRatingName(P2pRating rating) {
    static constexpr const char* kNames[] = {"easy", "moderate", "hard"};
    static_assert(std::size(kNames) == static_cast<std::size_t>(P2pRating::Hard) + 1);
    return TextOf(kNames, rating);
}

const char* PeerKindName(PeerKind kind) {
    static constexpr const char* kNames[] = {"open", "full cone", "restricted", "port restricted",
                                             "symmetric"};
    static_assert(std::size(kNames) == kPeerKinds.size());
    return TextOf(kNames, kind);
}

bool DirectUdpWorks(PeerKind a, PeerKind b) {
    const auto fails = [](PeerKind sym, PeerKind other) {
        return sym == PeerKind::Symmetric &&
               (other == PeerKind::PortRestricted || other == PeerKind::Symmetric);
    };
    return !fails(a, b) && !fails(b, a);
}

P2pMeaning MeaningOfCheck(const CheckOutcome& o, const CheckFacts& facts) {
    P2pMeaning m;
    m.endText = CheckEndText(EndOfCheck(o, facts), facts);
    m.severalCopies = o.multiClientGood;
    if (!o.filterType || *o.filterType == FilterUnknown)
        return m;
    const std::int32_t filter = *o.filterType;
    if (filter == FilterOpen) {
        m.nat = false;
    } else if (filter == FilterSymmetric) {
        // Without translation a filtered change reply reads SYMMETRIC, and the allocation test
        // that follows finds every port unchanged.
        m.nat = facts.mappedIsLocal ? !*facts.mappedIsLocal
                                    : !(o.allocRule && *o.allocRule == AllocNotSymmetric);
    } else {
        m.nat = true;  // a change reply came through to a translated address
    }

    if (!*m.nat) {
        m.mapping = B::EndpointIndependent;
        // Only the change of address and port was refused: the filter is taken to be the
        // strictest kind, as a stateful firewall's is.
        m.filtering = filter == FilterOpen ? B::EndpointIndependent : B::AddressAndPortDependent;
    } else {
        m.mapping = MappingOfRule(o.allocRule);
        switch (filter) {
            case FilterFullCone:
                m.filtering = B::EndpointIndependent;
                break;
            case FilterIpRestricted:
                m.filtering = B::AddressDependent;
                break;
            case FilterPortRestricted:
                m.filtering = B::AddressAndPortDependent;
                break;
            case FilterSymmetric:
                // Server2 saw another mapping, so the change tests never ran: the filtering is
                // unknown. A rule of NOT SYMMETRIC contradicts that mapping; neither is trusted.
                if (m.mapping == B::EndpointIndependent)
                    m.mapping.reset();
                else
                    m.mappingEndpointIndependent = false;
                m.filteringNotMeasured = true;
                break;
            default:
                break;
        }
        m.hairpinning = o.loopback;
        // Sockets 1 and 2 of the exceptional test, and the 9802 socket, each compare a public
        // port with its local one; one kept port is the NAT keeping ports (chance: 1 in 64 K).
        const bool kept9802 = o.friendSockMappedPort && *o.friendSockMappedPort == facts.port9802;
        if (o.exceptional == true || kept9802)
            m.portPreservation = true;
        else if (o.exceptional || o.friendSockMappedPort)
            m.portPreservation = false;
    }
    Judge(m);
    return m;
}

const char* Ipv6TranslationName(Ipv6Translation t) {
    static constexpr const char* kNames[] = {"none", "prefix", "nat66"};
    return TextOf(kNames, t);
}

P2pMeaning MeaningOfStun(const StunOutcome& o) {
    P2pMeaning m;
    if (o.mappedIsLocal)
        m.nat = !*o.mappedIsLocal;
    if (o.mapped && !o.mapped->IsIpv4() && o.mappedIsLocal) {
        m.ipv6 = *o.mappedIsLocal                   ? Ipv6Translation::None
                 : o.mappedKeepsInterfaceId == true ? Ipv6Translation::Prefix
                                                    : Ipv6Translation::Nat66;
    }
    m.mapping = o.mapping;
    m.mappingEndpointIndependent = o.mappingEndpointIndependent;
    if (m.nat == false && !m.mapping)
        m.mapping = B::EndpointIndependent;  // an untranslated address is the same for all
    m.filtering = o.filtering;
    if (m.nat == true)
        m.hairpinning = o.hairpinning;
    Judge(m);
    return m;
}

std::vector<std::string> P2pSentences(const P2pMeaning& m) {
    std::vector<std::string> out;
    if (!m.endText.empty())
        out.push_back(m.endText);
    NatSentences(m, out);
    out.push_back(RatingSentence(m));
    if (m.nat == true) {
        out.push_back(!m.hairpinning ? "Hairpinning: not determined."
                      : *m.hairpinning
                          ? "Hairpinning: yes; computers behind this NAT reach each other at "
                            "their public addresses."
                          : "Hairpinning: no; computers behind this NAT must use their local "
                            "addresses to reach each other.");
    }
    if (m.portPreservation) {
        out.push_back(*m.portPreservation
                          ? "Port preservation: yes; the NAT kept a local port as the public port."
                          : "Port preservation: no; the public ports differ from the local ones.");
    }
    if (m.severalCopies) {
        out.push_back(*m.severalCopies
                          ? "Several copies behind this NAT: each got its own public port."
                          : "Several copies behind this NAT: two got the same public port, so "
                            "they may receive each other's packets.");
    }
    return out;
}

std::string P2pText(const P2pMeaning& m) {
    std::string text;
    for (const std::string& s : P2pSentences(m))
        text += (text.empty() ? "" : " ") + s;
    return text;
}

std::vector<std::string> P2pMeaningLines(const P2pMeaning& m) {
    std::vector<std::string> lines = {kP2pHeading, ""};
    for (std::string& s : P2pSentences(m))
        lines.push_back(std::move(s));
    lines.push_back("");
    lines.push_back("Direct UDP connection with a peer that is:");
    for (PeerKind peer : kPeerKinds) {
        std::string row = std::string("    ") + PeerKindName(peer);
        row.resize(24, ' ');
        const std::optional<bool> c = m.CompatibleWith(peer);
        row += !c ? "not determined" : *c ? "yes" : "no (a relay is needed)";
        lines.push_back(std::move(row));
    }
    return lines;
}

std::string KeepAliveSentence(const LifetimeOutcome& o) {
    const std::optional<std::uint64_t> keep = o.KeepaliveMs();
    if (!keep)
        return "How long this NAT keeps an idle UDP mapping was not determined.";
    const auto s = [](std::uint64_t ms) { return std::to_string(ms / 1000) + " s"; };
    std::string lasted;
    if (o.expiredMs)
        lasted = "lasts at least " + s(*o.aliveMs) + " and at most " + s(*o.expiredMs);
    else if (*o.aliveMs >= o.maxMs)
        lasted = "lasted more than " + s(o.maxMs);
    else
        lasted = "lasts at least " + s(*o.aliveMs);
    return "An idle UDP mapping " + lasted +
           " here: a peer-to-peer application must send something through it at least every " +
           s(*keep) + " to keep it.";
}
