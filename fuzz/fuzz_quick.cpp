// The quick check fed arbitrary datagrams from arbitrary senders on its fresh sockets and on the
// network module's, with the clock stepped and timers interleaved; a scripted op sends the reply
// a request waits for (fuzzed body and sender), so every test is reached quickly.
// What must hold: no crash or undefined behaviour; no datagram from a host that is no party to
// the check changes what the check has found or ends it; no request is transmitted more often
// than the retransmission rule allows; every run ends within its time bound.

#include <algorithm>
#include <cstdlib>
#include <map>
#include <tuple>

#include "engine/quick_check.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_log.h"
#include "fuzz/fuzz_parties.h"
#include "net/messages.h"
#include "net/network_link.h"

namespace {

// Owns no socket: slots are made-up handles (base + slot) and ports.
class CCountingLink : public INetworkLink {
public:
    explicit CCountingLink(SocketHandle base) : m_base(base) {}
    void Send(NatMessage msg) override {
        if (msg.sendLength > kNatMessageDataSize)
            FuzzFail("a send longer than its record");
        // Only the prober's responder (another copy's search) sends tracked requests.
        const std::uint32_t type = MessageType(msg);
        if (msg.retryCount >= 0 && type != kMsgFriendPortRequest && type != kMsgFriendPortReport)
            FuzzFail("a quick check request went out tracked");
        // Answers (acknowledgements) go back to whoever asked; requests are counted.
        if ((type & 0xFF000000u) == 0x74000000u)
            ++sends[{type, msg.socket, msg.address}];
    }
    void CompleteRequest(ReceivedMessage, std::uint32_t) override {}
    SocketHandle GetSocket(int slot) const override {
        return slot >= 0 && slot < kSocketSlots ? m_base + slot : kInvalidSocket;
    }
    int SocketCount() const override { return kSocketSlots; }
    std::uint16_t LocalPort(int slot) const override {
        return static_cast<std::uint16_t>(40100 + m_base + slot);
    }

    // Transmissions per request code, socket and destination in the current run.
    std::map<std::tuple<std::uint32_t, SocketHandle, std::uint32_t>, int> sends;

private:
    SocketHandle m_base;
};

// The replies the check awaits, with the socket they must arrive on.
struct Awaited {
    std::uint32_t code;
    bool main;
    int slot;
};
// The clock moves in steps of one input byte times kStepUnitMs: up to kMaxStepMs at a time.
constexpr std::uint64_t kStepUnitMs = 8;
constexpr std::uint64_t kMaxStepMs = 255 * kStepUnitMs;
// The measurement waits kMeasureCapMs at most, so no round trip it finds, sample or bound, is
// longer. The tests' cap stretches on a slow path to one interval (three round trips) and two
// bounds (QuickRule); the friend's port report is awaited no longer than the tests.
constexpr std::uint64_t kLongestRunMs =
    CQuickCheck::kMeasureCapMs +
    std::max(CQuickCheck::kTestCapMs,
             (CQuickCheck::kRoundTripsPerInterval + 2) * CQuickCheck::kMeasureCapMs);

constexpr Awaited kAwaited[] = {
    {ReplyCode(kMsgBindingRequest), false, kQuickFilterSlot},
    {ReplyCode(kMsgBindingRequest), false, kQuickMappingSlot},
    {ReplyCode(kMsgChangeRequest), false, kQuickFilterSlot},
    {kMsgChangedAddressReply, false, kQuickFilterSlot},
    {kMsgLoopbackProbe, false, kQuickFilterSlot},
    {ReplyCode(kMsgPortChangeRequest), false, kQuickMappingSlot},
    {ReplyCode(kMsgAllocTestA), false, kQuickAllocSlot},
    {ReplyCode(kMsgAllocTestB), false, kQuickAllocSlot},
    {ReplyCode(kMsgAllocTestC), false, kQuickAllocSlot},
    {ReplyCode(kMsgExceptTest1), false, kQuickExceptSlot1},
    {ReplyCode(kMsgExceptTest2), false, kQuickExceptSlot2},
    {ReplyCode(kMsgBindingRequest), true, kPort9802Slot},
    {ReplyCode(kMsgFriendSearch), true, kSearchSlot},
    {kMsgFriendPortReport, true, kSearchSlot},
};

// What a stranger must not change. The returning loopback probe is trusted from any sender (a
// NAT's hairpin picks its source), as in the stepwise check, so it is left out.
QuickFindings Observed(const CQuickCheck& quick) {
    QuickFindings f = quick.Findings();
    f.loopback = false;
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ResetFuzzLog();
    CCountingLink main(1000);
    CCountingLink fresh(2000);
    CNatProber prober;
    prober.Attach(&main);
    prober.SetLocalAddressSource([] { return LocalAddressSet{{kOwn}, {{kFriend, 0xFFFFFFFFu}}, {}}; });
    prober.SetSettingsPath("/nonexistent/gatewise-fuzz/STUN.ini");
    std::uint64_t nowMs = 1'000'000;
    prober.ResponderLimit().SetClock([&nowMs] { return nowMs; });
    CQuickCheck quick(prober, [&nowMs] { return nowMs; });
    const QuickCheckConfig config{.server1Ip = kServer1,
                                  .server1Port = kServer1Port,
                                  .server2Ip = kServer2,
                                  .server2Port = kServer2Port,
                                  .friendIp = kFriend};
    std::uint64_t runStartMs = nowMs;
    const auto start = [&] {
        main.sends.clear();
        fresh.sends.clear();
        runStartMs = nowMs;
        quick.Start(config, &main, &fresh);
    };
    start();

    CFuzzInput in(data, size);
    for (int event = 0; event < 400 && !in.Empty(); ++event) {
        const std::uint8_t op = in.Byte();
        ReceivedMessage m;
        bool toMain = false;
        bool have = false;
        switch (op % 4) {
            case 0:
                nowMs += std::uint64_t{in.Byte()} * kStepUnitMs;
                quick.OnTimer();
                break;
            case 1: {  // any datagram from any sender, on any socket of either network
                std::uint8_t bytes[kReceivedDataSize];
                const std::size_t len = in.Bytes(bytes, in.Byte() % 40 + 1);
                toMain = (op & 0x10) != 0;
                const std::uint32_t from = Sender(in);
                const std::uint16_t port = in.Word();
                const SocketHandle socket = (toMain ? main : fresh).GetSocket(in.Byte() % 6);
                have = MakeReceived(m, bytes, len, from, port, socket);
                break;
            }
            case 2: {  // a reply the check awaits, with a fuzzed body and perhaps a wrong sender
                const Awaited& a = kAwaited[in.Byte() % std::size(kAwaited)];
                const FuzzedReply r = MakeFuzzedReply(in, op, a.code);
                toMain = a.main;
                have = MakeReceived(m, r.bytes, r.length, r.from, r.port,
                                    (toMain ? main : fresh).GetSocket(a.slot));
                break;
            }
            case 3:
                if (!quick.Running())
                    start();
                break;
        }
        if (have) {
            const QuickFindings before = Observed(quick);
            const bool running = quick.Running();
            if (!toMain) {
                quick.OnFreshMessage(m);
            } else if (!quick.OnMainMessage(m)) {
                prober.HandleMessage(&m);
            }
            if (!IsParty(m.fromAddress) &&
                (!(Observed(quick) == before) || (running && !quick.Running()))) {
                FuzzFail("a datagram from a stranger changed the quick check");
            }
        }
        for (const CCountingLink* link : {&main, &fresh}) {
            for (const auto& [key, count] : link->sends) {
                // The responder's own request (another copy's search) is the prober's, tracked.
                const std::uint32_t type = std::get<0>(key);
                if (type != kMsgFriendPortRequest && type != kMsgFriendPortReport &&
                    count > CQuickCheck::kTransmissions)
                    FuzzFail("a request went out more often than the retransmission rule allows");
            }
        }
        // Two phases, each capped: the measurement and the tests. A phase ends at the first timer
        // call at or after its cap (a late timer costs no tries), and this loop's clock moves up
        // to kMaxStepMs at a time, so the tests may start that much after the measurement's cap.
        if (quick.Running() && nowMs - runStartMs > kLongestRunMs + kMaxStepMs) {
            quick.OnTimer();
            if (quick.Running())
                FuzzFail("a quick check outlived its time bound");
        }
    }
    return 0;
}
