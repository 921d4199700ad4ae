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

// Prefix translation keeps an interface's identifier; loopback's ::1 is none, so NAT66 to a
// router address ending in ::1 is no prefix translation (the lab's nat66 router found this).
TEST(LocalAddress, LoopbackLendsNoInterfaceIdentifier) {
    LocalAddressSet set;
    set.own6 = {*ParseIpv6("::1"), *ParseIpv6("fd00:0:0:2::11")};
    EXPECT_FALSE(set.SharesInterfaceId6(*ParseIpv6("2001:db8:0:1::1")));
    EXPECT_TRUE(set.SharesInterfaceId6(*ParseIpv6("2001:db8:0:3::11")));
    EXPECT_TRUE(set.IsOwn6(*ParseIpv6("::1")));
}

}  // namespace
}  // namespace enginetest
