// NAT-PMP, PCP and SSDP wire formats against exact byte vectors, field by field.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/address_text.h"
#include "standard/portmap_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
std::span<const std::uint8_t> S(const Bytes& b) {
    return b;
}
std::span<const std::uint8_t> S(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

const PcpNonce kNonce = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

PcpMapRequest MapRequest() {
    PcpMapRequest r;
    r.clientAddress = PcpIpv4(*ParseIpv4("192.168.1.10"));
    r.lifetimeSeconds = 120;
    r.nonce = kNonce;
    r.internalPort = 40000;
    r.suggestedExternalPort = 40000;
    return r;
}

// A MAP response to MapRequest with the given result code and nonce.
Bytes MapResponse(std::uint8_t result, const PcpNonce& nonce = kNonce) {
    Bytes b = {2, 0x81, 0,    result,  // version, R|MAP, reserved, result
               0, 0,    0,    120,     // lifetime
               0, 0,    0x10, 0};      // epoch 4096
    b.resize(24, 0);                   // 96 reserved bits
    b.insert(b.end(), nonce.begin(), nonce.end());
    b.insert(b.end(), {17, 0, 0, 0,   // UDP, reserved
                       0x9C, 0x40,    // internal port 40000
                       0x9C, 0x41});  // external port 40001
    const PcpAddress ext = PcpIpv4(*ParseIpv4("100.64.0.7"));
    b.insert(b.end(), ext.begin(), ext.end());
    return b;
}

TEST(NatPmpCodec, RequestsAreExactBytes) {
    const auto ext = EncodeNatPmpExternalAddressRequest();
    EXPECT_EQ(Bytes(ext.begin(), ext.end()), (Bytes{0, 0}));
    const auto map = EncodeNatPmpMapUdpRequest(40000, 40001, 120);
    EXPECT_EQ(Bytes(map.begin(), map.end()),
              (Bytes{0, 1, 0, 0, 0x9C, 0x40, 0x9C, 0x41, 0, 0, 0, 120}));
    const auto del = EncodeNatPmpMapUdpRequest(40000, 0, 0);
    EXPECT_EQ(Bytes(del.begin(), del.end()), (Bytes{0, 1, 0, 0, 0x9C, 0x40, 0, 0, 0, 0, 0, 0}));
}

TEST(NatPmpCodec, ExternalAddressAndMapResponses) {
    const auto ext = ParseNatPmpResponse(S(Bytes{0, 128, 0, 0, 0, 0, 1, 0, 203, 0, 113, 5}));
    ASSERT_TRUE(ext);
    EXPECT_EQ(ext->opcode, kNatPmpExternalAddress);
    EXPECT_EQ(ext->epochSeconds, 256u);
    EXPECT_EQ(FormatIpv4(ext->externalAddressNet), "203.0.113.5");

    const auto map = ParseNatPmpResponse(
        S(Bytes{0, 129, 0, 0, 0, 0, 0, 9, 0x9C, 0x40, 0x9C, 0x41, 0, 0, 0, 60}));
    ASSERT_TRUE(map);
    EXPECT_EQ(map->opcode, kNatPmpMapUdp);
    EXPECT_EQ(map->internalPort, 40000);
    EXPECT_EQ(map->externalPort, 40001);
    EXPECT_EQ(map->lifetimeSeconds, 60u);
}

// Every result code by name; an error needs only the 8-byte header.
TEST(NatPmpCodec, ResultCodes) {
    const char* const names[] = {"SUCCESS",         "UNSUPPORTED VERSION", "NOT AUTHORIZED",
                                 "NETWORK FAILURE", "OUT OF RESOURCES",    "UNSUPPORTED OPCODE",
                                 "UNKNOWN"};
    for (std::uint8_t code = 1; code <= 6; ++code) {
        SCOPED_TRACE(code);
        const auto r = ParseNatPmpResponse(S(Bytes{0, 128, 0, code, 0, 0, 0, 1}));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->resultCode, code);
        EXPECT_STREQ(NatPmpResultName(code), names[code]);
    }
    EXPECT_STREQ(NatPmpResultName(0), names[0]);
}

TEST(NatPmpCodec, RefusesWhatIsNoResponse) {
    const Bytes rows[] = {
        {},
        {0, 128, 0, 0, 0, 0, 0},                        // header cut short
        {0, 128, 0, 0, 0, 0, 0, 1, 10, 0, 0},           // success without the whole address
        {0, 0, 0, 0, 0, 0, 0, 1, 10, 0, 0, 1},          // a request, not a response
        {2, 128, 0, 0, 0, 0, 0, 1, 10, 0, 0, 1},        // PCP's version
        {0, 129, 0, 0, 0, 0, 0, 1, 0x9C, 0x40, 0, 0},   // map success cut short
        {0, 200, 0, 0, 0, 0, 0, 1, 10, 0, 0, 1, 0, 0},  // success for an opcode nobody sends
    };
    for (const Bytes& b : rows)
        EXPECT_FALSE(ParseNatPmpResponse(S(b))) << testing::PrintToString(b);
}

TEST(PcpCodec, AnnounceAndMapAreExactBytes) {
    const Bytes announce = EncodePcpAnnounce(PcpIpv4(*ParseIpv4("192.168.1.10")));
    Bytes want = {2, 0, 0, 0, 0, 0, 0,    0,    0,   0,   0, 0,
                  0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 1, 10};
    EXPECT_EQ(announce, want);

    Bytes map = EncodePcpMap(MapRequest());
    want[1] = 1;    // MAP
    want[7] = 120;  // lifetime
    want.insert(want.end(), kNonce.begin(), kNonce.end());
    want.insert(want.end(), {17, 0, 0, 0, 0x9C, 0x40, 0x9C, 0x40});
    want.resize(60, 0);  // no suggested external address
    EXPECT_EQ(map, want);
}

TEST(PcpCodec, MapResponseFields) {
    PcpResponse r;
    ASSERT_EQ(ParsePcpResponse(S(MapResponse(kPcpSuccess)), r), PcpAnswer::Response);
    EXPECT_EQ(r.opcode, kPcpMap);
    EXPECT_EQ(r.lifetimeSeconds, 120u);
    EXPECT_EQ(r.epochSeconds, 4096u);
    EXPECT_EQ(r.externalPort, 40001);
    EXPECT_EQ(FormatIpv4(*PcpAsIpv4(r.externalAddress)), "100.64.0.7");
    EXPECT_TRUE(PcpAnswersMap(MapRequest(), r));
}

// Every result code the RFC names, 3 (MALFORMED_REQUEST), 8 (NO_RESOURCES) and 12
// (ADDRESS_MISMATCH) among them, comes through a MAP response with its name.
TEST(PcpCodec, ResultCodesByName) {
    const char* const names[] = {
        "SUCCESS",          "UNSUPP_VERSION",        "NOT_AUTHORIZED",   "MALFORMED_REQUEST",
        "UNSUPP_OPCODE",    "UNSUPP_OPTION",         "MALFORMED_OPTION", "NETWORK_FAILURE",
        "NO_RESOURCES",     "UNSUPP_PROTOCOL",       "USER_EX_QUOTA",    "CANNOT_PROVIDE_EXTERNAL",
        "ADDRESS_MISMATCH", "EXCESSIVE_REMOTE_PEERS"};
    for (std::uint8_t code = 0; code < std::size(names); ++code) {
        SCOPED_TRACE(code);
        PcpResponse r;
        ASSERT_EQ(ParsePcpResponse(S(MapResponse(code)), r), PcpAnswer::Response);
        EXPECT_EQ(r.resultCode, code);
        EXPECT_STREQ(PcpResultName(r.resultCode), names[code]);
        EXPECT_TRUE(PcpAnswersMap(MapRequest(), r));  // errors echo the nonce too
    }
    EXPECT_STREQ(PcpResultName(14), "UNKNOWN");
}

TEST(PcpCodec, AnswersOnlyItsOwnRequest) {
    PcpNonce other = kNonce;
    other[11] ^= 0x80;
    PcpResponse r;
    ASSERT_EQ(ParsePcpResponse(S(MapResponse(kPcpSuccess, other)), r), PcpAnswer::Response);
    EXPECT_FALSE(PcpAnswersMap(MapRequest(), r)) << "a wrong nonce is someone else's answer";
    PcpMapRequest otherPort = MapRequest();
    otherPort.internalPort = 40002;
    ASSERT_EQ(ParsePcpResponse(S(MapResponse(kPcpSuccess)), r), PcpAnswer::Response);
    EXPECT_FALSE(PcpAnswersMap(otherPort, r));
}

// A NAT-PMP-only gateway answers a PCP request with NAT-PMP's "unsupported version" (RFC 6887
// section 9): 8 bytes, opcode 128 + the request's, result 1.
TEST(PcpCodec, NatPmpOnlyGatewayAnswersPcp) {
    PcpResponse r;
    EXPECT_EQ(ParsePcpResponse(S(Bytes{0, 128, 0, 1, 0, 0, 0, 5}), r), PcpAnswer::NatPmpOnly);
    EXPECT_EQ(ParsePcpResponse(S(Bytes{0, 129, 0, 1, 0, 0, 0, 5, 0, 0, 0, 0}), r),
              PcpAnswer::NatPmpOnly);
    // A NAT-PMP success is no answer to PCP at all.
    EXPECT_EQ(ParsePcpResponse(S(Bytes{0, 128, 0, 0, 0, 0, 0, 5, 10, 0, 0, 1}), r),
              PcpAnswer::NotPcp);
}

TEST(PcpCodec, RefusesWhatIsNoResponse) {
    Bytes announce(24, 0);
    announce[0] = 2;
    announce[1] = 0x80;
    Bytes shortMap = MapResponse(kPcpSuccess);
    shortMap.resize(56);
    Bytes odd = announce;
    odd.push_back(0);
    Bytes request = announce;
    request[1] = 0;
    Bytes v1 = announce;
    v1[0] = 1;
    Bytes huge(1104, 0);
    huge[0] = 2;
    huge[1] = 0x80;
    PcpResponse r;
    EXPECT_EQ(ParsePcpResponse(S(announce), r), PcpAnswer::Response);
    for (const Bytes* b : {&shortMap, &odd, &request, &v1, &huge})
        EXPECT_EQ(ParsePcpResponse(S(*b), r), PcpAnswer::NotPcp) << b->size();
}

TEST(SsdpCodec, SearchesAreExactText) {
    EXPECT_EQ(EncodeSsdpSearch(true, "192.168.1.1"),
              "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
              "MX: 1\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n");
    EXPECT_EQ(EncodeSsdpSearch(false, "192.168.1.1"),
              "M-SEARCH * HTTP/1.1\r\nHOST: 192.168.1.1:1900\r\nMAN: \"ssdp:discover\"\r\n"
              "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n");
}

TEST(SsdpCodec, Replies) {
    const auto r = ParseSsdpReply(
        S(std::string("HTTP/1.1 200 OK\r\nCache-Control: max-age=120\r\n"
                      "st: urn:x\r\nLocation:  http://192.168.1.1:5000/rootDesc.xml\r\n"
                      "SERVER: Debian/12 UPnP/1.1 r/2.3\r\n\r\n")));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->location, "http://192.168.1.1:5000/rootDesc.xml");
    EXPECT_EQ(r->st, "urn:x");
    EXPECT_EQ(r->server, "Debian/12 UPnP/1.1 r/2.3");
    EXPECT_EQ(FormatIpv4(*UrlHostIpv4(r->location)), "192.168.1.1");

    const std::string refused[] = {
        "NOTIFY * HTTP/1.1\r\nLOCATION: http://192.168.1.1/\r\n\r\n",  // an announcement
        "HTTP/1.1 404 Not Found\r\nLOCATION: http://192.168.1.1/\r\n\r\n",
        "HTTP/1.1 200 OK\r\nST: urn:x\r\n\r\n",  // no LOCATION
        "HTTP/1.1 200 OK\r\nLOCATION: https://192.168.1.1/\r\n\r\n",
        "HTTP/1.1 200 OK\r\nLOCATION: http://192.168.1.1/\x1b[2J\r\n\r\n",
        "HTTP/1.1 200 OK\r\nLOCATION: http://" + std::string(600, 'a') + "\r\n\r\n",
        "HTTP/1.1 200 OK",
    };
    for (const std::string& s : refused)
        EXPECT_FALSE(ParseSsdpReply(S(s))) << s;
    EXPECT_FALSE(UrlHostIpv4("http://router.local:5000/x"));
    EXPECT_FALSE(UrlHostIpv4("ftp://192.168.1.1/"));
    EXPECT_EQ(FormatIpv4(*UrlHostIpv4("http://10.0.0.1/d.xml")), "10.0.0.1");
}

}  // namespace
