// The address-class table, the NAT-layer verdicts with their reasons, and the routing tables'
// parsers (IPv4, and IPv6 with its address list, for PCP over IPv6): one row per case.

#include <gtest/gtest.h>

#include "net/address_text.h"
#include "net/default_gateway.h"
#include "standard/nat_layers.h"

namespace {

std::uint32_t Ip(const char* s) {
    return *ParseIpv4(s);
}

TEST(AddressClass, Table) {
    const struct {
        const char* ip;
        AddressClass cls;
    } rows[] = {
        {"10.1.2.3", AddressClass::Private},     {"172.31.255.255", AddressClass::Private},
        {"172.32.0.1", AddressClass::Public},    {"192.168.0.1", AddressClass::Private},
        {"100.64.0.1", AddressClass::Shared},    {"100.127.255.254", AddressClass::Shared},
        {"100.128.0.1", AddressClass::Public},   {"100.63.255.255", AddressClass::Public},
        {"127.0.0.1", AddressClass::Loopback},   {"169.254.1.1", AddressClass::LinkLocal},
        {"198.18.0.1", AddressClass::Reserved},  {"198.19.255.1", AddressClass::Reserved},
        {"203.0.113.9", AddressClass::Reserved}, {"239.255.255.250", AddressClass::Reserved},
        {"0.0.0.0", AddressClass::Reserved},     {"8.8.8.8", AddressClass::Public},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ClassifyIpv4(Ip(r.ip)).cls, r.cls) << r.ip;
}

TEST(NatLayersJudge, Verdicts) {
    const std::optional<std::uint32_t> none;
    const struct {
        std::optional<std::uint32_t> external, mapped;
        std::vector<std::uint32_t> hops;
        const char* text;
        std::optional<bool> cgnat;
        std::size_t reasons;
    } rows[] = {
        {none, none, {}, "NOT DETERMINED", std::nullopt, 0},
        {Ip("7.0.0.1"), none, {}, "NOT DETERMINED", std::nullopt, 0},
        {Ip("7.0.0.1"), Ip("7.0.0.1"), {}, "ONE", false, 1},
        {Ip("100.64.0.2"), none, {}, "TWO (CARRIER-GRADE)", true, 1},
        {Ip("100.64.0.2"), Ip("7.0.0.1"), {}, "TWO (CARRIER-GRADE)", true, 2},
        {Ip("192.168.1.2"), none, {}, "TWO", std::nullopt, 1},
        // Public-looking yet not what the server sees: a NAT in front that owns no 100.64.
        {Ip("7.0.1.2"), Ip("7.0.0.1"), {}, "TWO", std::nullopt, 1},
        // The path names the carrier's router.
        {none, none, {Ip("192.168.1.1"), Ip("100.64.0.1")}, "TWO (CARRIER-GRADE)", true, 1},
        // The first hop is the user's own router, whatever its address.
        {none, none, {Ip("100.64.0.1")}, "NOT DETERMINED", std::nullopt, 0},
    };
    for (const auto& r : rows) {
        const NatLayers l = JudgeNatLayers(r.external, r.mapped, r.hops);
        EXPECT_STREQ(NatLayersText(l), r.text) << testing::PrintToString(r.external);
        EXPECT_EQ(l.cgnat, r.cgnat) << r.text;
        EXPECT_EQ(l.reasons.size(), r.reasons) << r.text;
        EXPECT_EQ(l.doubleNat.has_value(), !l.reasons.empty()) << "a verdict needs a reason";
    }
}

TEST(RouteTable, DefaultRoute) {
    const char* header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    const struct {
        std::string body;
        const char* gateway;
    } rows[] = {
        {"eth0\t00000000\t0100A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", "192.168.0.1"},
        // The lower metric wins; a route that is down or has no gateway does not count.
        {"a\t00000000\t0100A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
         "b\t00000000\t010013C6\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "198.19.0.1"},
        {"a\t00000000\t0100A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", nullptr},
        {"a\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n", nullptr},
        {"a\t0000A8C0\t0100A8C0\t0003\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", nullptr},
        {"a\t00000000\tzz00A8C0\t0003\t0\t0\t0\t00000000\n", nullptr},
        {"", nullptr},
    };
    for (const auto& r : rows) {
        const auto gw = ParseRouteTable(header + r.body);
        if (r.gateway == nullptr)
            EXPECT_FALSE(gw) << r.body;
        else
            EXPECT_EQ(gw, ParseIpv4(r.gateway)) << r.body;
    }
    EXPECT_FALSE(ParseRouteTable("eth0\t00000000\t0100A8C0\t0003\t0\t0\t0\t00000000\n"))
        << "the first line is the header";
}

// /proc/net/ipv6_route: "dest destlen src srclen nexthop metric refcnt use flags ifname".
TEST(RouteTable, Ipv6DefaultRoute) {
    const std::string zero(32, '0');
    const auto route = [&](const char* destLen, const char* nexthop, const char* metric,
                           const char* flags, const char* ifname) {
        return zero + " " + destLen + " " + zero + " 00 " + nexthop + " " + metric +
               " 00000001 00000000 " + flags + " " + ifname + "\n";
    };
    const std::string ll = "fe800000000000000000000000000001";
    const std::string ll2 = "fe800000000000000000000000000002";
    const struct {
        std::string body;
        const char* gateway;
        const char* ifname;
    } rows[] = {
        {route("00", ll.c_str(), "00000400", "00450003", "eth0"), "fe80::1", "eth0"},
        // The lower metric wins; a route that is down, has no gateway or is no default does
        // not count.
        {route("00", ll.c_str(), "00000400", "00000003", "a") +
             route("00", ll2.c_str(), "00000100", "00000003", "b"),
         "fe80::2", "b"},
        {route("00", ll.c_str(), "00000400", "00000002", "a"), nullptr, nullptr},
        {route("00", zero.c_str(), "00000400", "00000001", "a"), nullptr, nullptr},
        {route("40", ll.c_str(), "00000400", "00000003", "a"), nullptr, nullptr},
        {route("00", "fe8000000000000000000000000000zz", "00000400", "00000003", "a"), nullptr,
         nullptr},
        {"", nullptr, nullptr},
    };
    for (const auto& r : rows) {
        const auto gw = ParseIpv6RouteTable(r.body);
        if (r.gateway == nullptr) {
            EXPECT_FALSE(gw) << r.body;
            continue;
        }
        ASSERT_TRUE(gw) << r.body;
        EXPECT_EQ(gw->gateway, ParseIpv6(r.gateway)) << r.body;
        EXPECT_EQ(gw->interfaceName, r.ifname) << r.body;
    }
}

// /proc/net/if_inet6: "address ifindex prefixlen scope flags ifname". A pinhole needs a global
// address outsiders can reach, of the router's interface.
TEST(RouteTable, GlobalIpv6Address) {
    const struct {
        const char* body;
        const char* address;
    } rows[] = {
        {"20010db8000000020000000000000011 03 40 00 80 eth0\n", "2001:db8:0:2::11"},
        {"20010db8000000020000000000000011 03 40 00 80 eth1\n", nullptr},  // other interface
        {"fe800000000000000000000000000011 03 40 20 80 eth0\n", nullptr},  // link-local
        {"fd000000000000020000000000000011 03 40 00 80 eth0\n", nullptr},  // unique local
        {"20010db8000000020000000000000011 03 40 00 c0 eth0\n", nullptr},  // tentative
        {"20010db8000000020000000000000011 03 40 00 a0 eth0\n", nullptr},  // deprecated
        {"20010db8000000020000000000000099 03 40 00 01 eth0\n"             // temporary ...
         "20010db8000000020000000000000011 03 40 00 80 eth0\n",
         "2001:db8:0:2::11"},  // stable wins
        {"20010db8000000020000000000000099 03 40 00 01 eth0\n", "2001:db8:0:2::99"},
    };
    for (const auto& r : rows) {
        const auto a = ParseGlobalIpv6Address(r.body, "eth0");
        if (r.address == nullptr) {
            EXPECT_FALSE(a) << r.body;
            continue;
        }
        ASSERT_TRUE(a) << r.body;
        EXPECT_EQ(a->address, ParseIpv6(r.address)) << r.body;
        EXPECT_EQ(a->interfaceIndex, 3u) << r.body;
    }
}

}  // namespace
