// Address text, read and written in one place for every program.

#include <gtest/gtest.h>

#include "core/sys_inet.h"
#include "net/address_text.h"

namespace {

struct TextRow {
    const char* text;
    bool valid;
};

// One row per line.
// clang-format off
const TextRow kAddresses[] = {
    {.text = "0.0.0.0", .valid = true},
    {.text = "255.255.255.255", .valid = true},
    {.text = "192.168.10.200", .valid = true},
    {.text = "256.1.1.1", .valid = false},  // octet too large
    {.text = "1.2.3", .valid = false},      // three octets
    {.text = "1.2.3.4.5", .valid = false},  // five
    {.text = "010.1.1.1", .valid = false},  // leading zero: octal to other readers
    {.text = "1..2.3", .valid = false},     // empty octet
    {.text = " 1.2.3.4", .valid = false},   // blank
    {.text = "+1.2.3.4", .valid = false},   // sign
    {.text = "1.2.3.4 ", .valid = false},
    {.text = "0x7f.0.0.1", .valid = false},  // hexadecimal, as inet_aton would take it
    {.text = "1000.1.1.1", .valid = false},
    {.text = "", .valid = false},
    {.text = "example.org", .valid = false},
};
// clang-format on

TEST(AddressText, ParsesExactlyTheDottedQuadsInetPtonTakes) {
    for (const TextRow& row : kAddresses) {
        in_addr expected{};
        const bool ptonValid = inet_pton(AF_INET, row.text, &expected) == 1;
        const std::optional<std::uint32_t> parsed = ParseIpv4(row.text);
        EXPECT_EQ(parsed.has_value(), row.valid) << row.text;
        if (row.valid) {
            ASSERT_TRUE(ptonValid) << row.text;
            EXPECT_EQ(*parsed, expected.s_addr) << row.text;
            EXPECT_EQ(FormatIpv4(*parsed), row.text);
        }
    }
}

TEST(AddressText, EndpointsKeepThePortInHostOrderWithinItsRange) {
    EXPECT_EQ(ParseIpv4Endpoint("127.0.0.1:3478"), (Ipv4Endpoint{htonl(0x7F000001), 3478}));
    EXPECT_EQ(FormatIpv4Endpoint({htonl(0x7F000001), 3478}), "127.0.0.1:3478");
    for (const char* bad : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                            "127.0.0.1:+80", "127.0.0.1:080", ":80", "127.0.0.1:80:80"})
        EXPECT_FALSE(ParseIpv4Endpoint(bad).has_value()) << bad;
    // Three consecutive ports from P: P + 2 must still be a port.
    EXPECT_FALSE(ParseIpv4Endpoint("127.0.0.1:65534", 1, 65533).has_value());
    EXPECT_TRUE(ParseIpv4Endpoint("127.0.0.1:65533", 1, 65533).has_value());
}

// IPv6 endpoints are bracketed, the address in RFC 5952 text when written; addresses no peer
// can have are named.
TEST(AddressText, Ipv6EndpointsAndAddressesNoPeerHas) {
    const Ipv6Bytes loopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(ParseIpv6Endpoint("[::1]:3478"), (Ipv6Endpoint{loopback, 3478}));
    const std::optional<Ipv6Endpoint> doc = ParseIpv6Endpoint("[2001:DB8:0:0::a]:65535");
    ASSERT_TRUE(doc.has_value());
    EXPECT_EQ(FormatIpv6Endpoint(*doc), "[2001:db8::a]:65535");
    for (const char* bad : {"::1", "[::1]", "[::1]:", "[::1]:0", "[::1]:65536", "::1:3478",
                            "[fe80::1%eth0]:3478", "[1.2.3.4]:3478", "[::1]:080", "[:::1]:80"})
        EXPECT_FALSE(ParseIpv6Endpoint(bad).has_value()) << bad;

    struct Row {
        const char* text;
        const char* problem;  // nullptr: a peer may have it
    };
    const Row rows[] = {
        {.text = "::", .problem = "is unspecified (::)"},
        {.text = "ff02::1", .problem = "is a multicast address"},
        {.text = "::ffff:192.0.2.1", .problem = "is an IPv4-mapped address (::ffff:0:0/96)"},
        {.text = "::1", .problem = nullptr},
        {.text = "2001:db8::1", .problem = nullptr},
        {.text = "fe80::1", .problem = nullptr},
    };
    for (const Row& r : rows) {
        const std::optional<Ipv6Bytes> a = ParseIpv6(r.text);
        ASSERT_TRUE(a.has_value()) << r.text;
        const char* problem = PeerAddressProblem6(*a);
        EXPECT_STREQ(problem == nullptr ? "" : problem, r.problem == nullptr ? "" : r.problem)
            << r.text;
    }
}

}  // namespace
