// The address-class table, the NAT-layer verdicts with their reasons, and the routing table's
// parser: one row per case.

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

}  // namespace
