// The computer's own addresses: interface addresses count, not only what the host name resolves
// to (on Linux usually just 127.0.1.1).

#include <gtest/gtest.h>

#include "engine/nat_prober.h"
#include "engine/prober_util.h"
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

}  // namespace
}  // namespace enginetest
