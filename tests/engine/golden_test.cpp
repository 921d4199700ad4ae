// One complete check, every reply present, compared line by line with a checked-in transcript.
// The clock is pinned (09:05:00, one second per tick); the five local ports, which the system
// chooses, are replaced by P0..P4. Regenerate with GATEWISE_UPDATE_GOLDEN=1 and review the diff.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/engine/prober_harness.h"

namespace enginetest {
namespace {

std::string MaskPorts(std::string line, const CRecordingNetwork& net) {
    const std::string prefix = "Local machine port:[";
    if (line.rfind(prefix, 0) != 0)
        return line;
    std::string expected = prefix;
    for (int i = 0; i < 5; ++i) {
        expected += std::to_string(net.LocalPort(i)) + (i < 4 ? "," : "]");
    }
    EXPECT_EQ(line, expected);
    return prefix + "P0,P1,P2,P3,P4]";
}

TEST_F(ProberTest, CompleteCheckMatchesTheGoldenTranscript) {
    prober.StartFilterCheck();
    Tick();
    Server1Binding();
    Tick();
    Deliver(Message(0x7477700C, kMapped, kMappedPort));
    ChangeAck();
    Tick(13);  // Server2's unsolicited reply never comes
    Tick();
    Server2Binding();
    Tick();
    PortChangeReply();  // IP RESTRICTED
    Tick();
    AllocReply(0x7C777007, 40000);
    Tick();
    AllocReply(0x7C777008, 40000);
    Tick();
    AllocReply(0x7C777009, 40002);  // ADDRESS SENSITIVE SYMMETRIC NAT
    Tick();
    AllocReply(0x7C77700A, net.LocalPort(1));
    Tick();
    AllocReply(0x7C77700B, net.LocalPort(2));  // both local ports kept
    Tick();
    Port9802Reply(50000);
    Tick(2);
    FriendAnswer();
    Tick(3);
    FriendReport(50001);
    ASSERT_EQ(prober.Step(), StepIdle);

    std::ostringstream actual;
    for (const std::string& line : LogLines())
        actual << MaskPorts(line, net) << "\n";

    const std::string path = std::string(ENGINE_GOLDEN_DIR) + "/complete_check.txt";
    if (std::getenv("GATEWISE_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << actual.str();
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.good()) << "missing " << path;
    std::ostringstream golden;
    golden << in.rdbuf();
    EXPECT_EQ(actual.str(), golden.str());
}

}  // namespace
}  // namespace enginetest
