#include "tests/engine/prober_harness.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>

namespace enginetest {

std::vector<std::string> SplitLog(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "log ends without a line end: " << text.substr(start);
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

void ProberTest::SetUp() {
    theLog.SetOutputWindow(&log);
    SetLocalTimeSource([this] { return clock; });
    prober.Attach(&net);
    prober.SetResultPresenter(&presenter);
    prober.SetLocalAddressSource([this] {
        ++localAddressReads;
        LocalAddressSet set{{localAddresses.begin(), localAddresses.end()}, {kLocalNetwork}, {}};
        return set;
    });
    prober.SetServers(kServer1, kServer1Port, kServer2, kServer2Port, kFriend);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    settingsPath = ::testing::TempDir() + "engine_" + info->test_suite_name() + "_" + info->name() +
                   "_" + std::to_string(getpid()) + "_STUN.ini";
    for (char& c : settingsPath) {
        if (c == '/')
            continue;
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') {
            c = '_';
        }
    }
    WriteSettings("[Setting]\nSTUN1_IP=127.0.0.10\nSTUN1_PORT=7000\nREPORT=lab@tarnwick.test\n");
    prober.SetSettingsPath(settingsPath);
}

void ProberTest::TearDown() {
    theLog.SetOutputWindow(nullptr);
    SetLocalTimeSource({});
    std::remove(settingsPath.c_str());
}

void ProberTest::WriteSettings(const std::string& text) {
    std::ofstream out(settingsPath, std::ios::binary | std::ios::trunc);
    out << text;
}

ReceivedMessage ProberTest::Message(std::uint32_t type, std::uint32_t from, std::uint16_t fromPort,
                                    int slot) const {
    std::uint8_t bytes[12];
    const std::uint16_t len = EncodeEmpty(bytes, type);
    ReceivedMessage m;
    MakeReceived(m, bytes, len, from, fromPort, net.GetSocket(slot));
    return m;
}

ReceivedMessage ProberTest::PortMessage(std::uint32_t type, std::uint16_t bodyPort,
                                        std::uint32_t from, std::uint16_t fromPort,
                                        int slot) const {
    std::uint8_t bytes[12];
    const std::uint16_t len = EncodePort(bytes, type, bodyPort);
    ReceivedMessage m;
    MakeReceived(m, bytes, len, from, fromPort, net.GetSocket(slot));
    return m;
}

ReceivedMessage ProberTest::EndpointMessage(std::uint32_t type, std::uint32_t bodyIp,
                                            std::uint16_t bodyPort, std::uint32_t from,
                                            std::uint16_t fromPort, int slot) const {
    std::uint8_t bytes[12];
    const std::uint16_t len = EncodeEndpoint(bytes, type, bodyIp, bodyPort);
    ReceivedMessage m;
    MakeReceived(m, bytes, len, from, fromPort, net.GetSocket(slot));
    return m;
}

void ProberTest::Tick(int n) {
    for (int i = 0; i < n; ++i) {
        if (++clock.second == 60) {
            clock.second = 0;
            if (++clock.minute == 60) {
                clock.minute = 0;
                clock.hour = (clock.hour + 1) % 24;
            }
        }
        prober.OnTick(0);
    }
}

void ProberTest::Server1Binding(std::uint32_t ip, std::uint16_t port) {
    Deliver(EndpointMessage(0x7C777002, ip, port, kServer1, kServer1Port));
}
void ProberTest::ChangeAck() {
    Deliver(Message(0x7C777003, kServer1, kServer1Port));
}
void ProberTest::ChangeReply() {
    Deliver(Message(0x77747005, kServer2, kServer2Port));
}
void ProberTest::Server2Binding(std::uint32_t ip, std::uint16_t port) {
    Deliver(EndpointMessage(0x7C777002, ip, port, kServer2, kServer2Port));
}
void ProberTest::PortChangeReply() {
    Deliver(Message(0x7C777006, kServer1, kServer1OtherPort));
}
void ProberTest::AllocReply(std::uint32_t code, std::uint16_t portHost) {
    const bool fromServer2 = code == 0x7C777009;
    const std::uint16_t from =
        code == 0x7C777008 ? kServer1OtherPort : (fromServer2 ? kServer2Port : kServer1Port);
    const int slot = code == 0x7C77700A ? 1 : (code == 0x7C77700B ? 2 : 0);
    Deliver(PortMessage(code, Port(portHost), fromServer2 ? kServer2 : kServer1, from, slot));
}
void ProberTest::Port9802Reply(std::uint16_t portHost) {
    Deliver(EndpointMessage(0x7C777002, kMapped, Port(portHost), kServer1, kServer1Port, 4));
}
void ProberTest::FriendAnswer(std::uint32_t from, std::uint16_t port) {
    Deliver(Message(0x7C77700D, from, port, 3));
}
void ProberTest::FriendReport(std::uint16_t portHost, std::uint32_t from, std::uint16_t port) {
    Deliver(PortMessage(0x74777010, Port(portHost), from, port, 4));
}

void ProberTest::ReachAllocation() {
    prober.StartFilterCheck();
    Server1Binding();
    ChangeAck();
    ChangeReply();
    ASSERT_EQ(prober.Step(), StepAllocA);
}

void ProberTest::ReachFriendPhase() {
    ReachAllocation();
    AllocReply(0x7C777007, 40000);
    AllocReply(0x7C777008, 40000);
    AllocReply(0x7C777009, 40000);
    ASSERT_EQ(prober.Step(), StepPort9802);
}

void ProberTest::ReachFriendPort() {
    ReachFriendPhase();
    Port9802Reply(50000);
    FriendAnswer();
    ASSERT_EQ(prober.Step(), StepFriendPort);
}

std::vector<std::string> ProberTest::LinesSince(std::size_t mark) const {
    std::vector<std::string> all = LogLines();
    if (mark >= all.size())
        return {};
    return {all.begin() + static_cast<std::ptrdiff_t>(mark), all.end()};
}

std::vector<std::uint32_t> ProberTest::SentCodes() const {
    return SentCodesSince(0);
}

std::vector<std::uint32_t> ProberTest::SentCodesSince(std::size_t mark) const {
    std::vector<std::uint32_t> codes;
    for (std::size_t i = mark; i < net.sent.size(); ++i)
        codes.push_back(net.sent[i].code);
    return codes;
}

}  // namespace enginetest
