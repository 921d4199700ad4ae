#pragma once
// A prober wired to a recording network, an in-memory log with a pinned clock that advances one
// second per tick, a fake presenter and its own STUN.ini. Helpers feed the servers' replies.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/sys_inet.h"
#include "engine/nat_prober.h"
#include "engine/prober_util.h"
#include "net/messages.h"
#include "tests/engine/fake_network.h"

namespace enginetest {

inline std::uint32_t Ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}
inline std::uint16_t Port(std::uint16_t host) {
    return htons(host);
}

// Every address a scenario uses is on loopback; nothing leaves the fake anyway.
inline const std::uint32_t kServer1 = Ip("127.0.0.10");
inline const std::uint16_t kServer1Port = Port(7000);
inline const std::uint16_t kServer1OtherPort = Port(7001);
inline const std::uint32_t kServer2 = Ip("127.0.0.20");
inline const std::uint16_t kServer2Port = Port(7100);
inline const std::uint32_t kMapped = Ip("127.0.0.99");
inline const std::uint16_t kMappedPort = Port(40000);
inline const std::uint32_t kFriend = Ip("127.0.0.50");
inline const std::uint16_t kFriendPort = Port(9801);
inline const std::uint32_t kOwnAddress = Ip("127.0.0.77");  // "this computer" in the fake check
// The network "this computer" sits on, as far as a broadcast reaches: 127.0.0.48/28 (kFriend).
inline const LocalAddressSet::Network kLocalNetwork{Ip("127.0.0.48"), Ip("255.255.255.240")};
// A host that is no party to the check: neither server, nor a friend, nor on the local network.
inline const std::uint32_t kStranger = Ip("127.0.0.66");

// Splits the log into its lines (each ended by "\r\n"; a missing line end fails the test).
std::vector<std::string> SplitLog(const std::string& text);

class ProberTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The message as the network module would hand it over.
    ReceivedMessage Message(std::uint32_t type, std::uint32_t from, std::uint16_t fromPort,
                            int slot = 0) const;
    ReceivedMessage PortMessage(std::uint32_t type, std::uint16_t bodyPort, std::uint32_t from,
                                std::uint16_t fromPort, int slot = 0) const;
    ReceivedMessage EndpointMessage(std::uint32_t type, std::uint32_t bodyIp,
                                    std::uint16_t bodyPort, std::uint32_t from,
                                    std::uint16_t fromPort, int slot = 0) const;
    void Deliver(const ReceivedMessage& m) { prober.HandleMessage(&m); }
    void Tick(int n = 1);

    // Server replies of a check.
    void Server1Binding(std::uint32_t ip = kMapped, std::uint16_t port = kMappedPort);
    void ChangeAck();
    void ChangeReply();
    void Server2Binding(std::uint32_t ip = kMapped, std::uint16_t port = kMappedPort);
    void PortChangeReply();
    void AllocReply(std::uint32_t code, std::uint16_t portHost);
    void Port9802Reply(std::uint16_t portHost);
    void FriendAnswer(std::uint32_t from = kFriend, std::uint16_t port = kFriendPort);
    void FriendReport(std::uint16_t portHost, std::uint32_t from = kFriend,
                      std::uint16_t port = kFriendPort);

    // Drives a check to the first step of a later test, with every earlier reply present.
    void ReachAllocation();   // FULL CONE, then step 6
    void ReachFriendPhase();  // ... NOT SYMMETRIC NAT, then step 13
    void ReachFriendPort();   // ... friend found, step 12

    std::vector<std::string> LogLines() const { return SplitLog(log.Text()); }
    // Lines written since the mark (a count of lines).
    std::vector<std::string> LinesSince(std::size_t mark) const;
    std::size_t Mark() const { return LogLines().size(); }
    std::vector<std::uint32_t> SentCodes() const;
    std::vector<std::uint32_t> SentCodesSince(std::size_t mark) const;
    void WriteSettings(const std::string& text);

    CStringLogTarget log;
    CRecordingNetwork net;
    CFakePresenter presenter;
    CNatProber prober;
    std::set<std::uint32_t> localAddresses{kOwnAddress};
    int localAddressReads = 0;
    LocalTimeOfDay clock{9, 5, 0};
    std::string settingsPath;
};

}  // namespace enginetest
