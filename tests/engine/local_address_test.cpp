// The computer's own addresses: interface addresses count, not only what the host name resolves
// to (on Linux usually just 127.0.1.1).

#include <gtest/gtest.h>

#include "engine/nat_prober.h"
#include "engine/prober_util.h"
#include "net/address_text.h"
#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

TEST(LocalAddress, LoopbackInterfaceAddressIsLocal) {
    EXPECT_TRUE(ReadLocalAddresses().IsOwn(Ip("127.0.0.1")));
    CNatProber prober;
    EXPECT_TRUE(prober.IsLocalAddress(Ip("127.0.0.1")));
}

TEST(LocalAddress, SeamReplacesTheLookup) {
    CNatProber prober;
    prober.SetLocalAddressSource([] { return LocalAddressSet{{Ip("198.51.100.1")}, {}, {}}; });
    EXPECT_TRUE(prober.IsLocalAddress(Ip("198.51.100.1")));
    EXPECT_FALSE(prober.IsLocalAddress(Ip("127.0.0.1")));
    prober.SetLocalAddressSource({});
    EXPECT_TRUE(prober.IsLocalAddress(Ip("127.0.0.1")));
}

// The loopback interface's network is where a broadcast answer may come from.
TEST(LocalAddress, LoopbackNetworkIsLocal) {
    const LocalAddressSet set = ReadLocalAddresses();
    EXPECT_TRUE(set.OnLocalNetwork(Ip("127.0.0.200")));
    EXPECT_FALSE(set.OnLocalNetwork(Ip("198.51.100.1")));
    EXPECT_FALSE(set.IsOwn(Ip("198.51.100.1")));
    EXPECT_FALSE(set.IsOwn(0xFFFFFFFFu));
}

// IPv6: an own address, one that only shares an own address's host part (the low 64 bits, as
// prefix translation keeps it), and one that shares nothing; ::1's host part counts for nothing.
TEST(LocalAddress, Ipv6OwnAndInterfaceIdentifier) {
    LocalAddressSet set;
    set.own6 = {*ParseIpv6("::1"), *ParseIpv6("fd00:1::a:b:c:d")};
    EXPECT_TRUE(set.IsOwn6(*ParseIpv6("fd00:1::a:b:c:d")));
    EXPECT_FALSE(set.IsOwn6(*ParseIpv6("2001:db8::a:b:c:d")));
    EXPECT_TRUE(set.SharesInterfaceId6(*ParseIpv6("2001:db8::a:b:c:d")));
    EXPECT_FALSE(set.SharesInterfaceId6(*ParseIpv6("2001:db8::a:b:c:e")));
    EXPECT_FALSE(set.SharesInterfaceId6(*ParseIpv6("2001:db8::1")));
}

}  // namespace
}  // namespace enginetest
