// The engine fed arbitrary datagrams from arbitrary senders through RouteMessage, with ticks and
// the passing of time interleaved, in every step of a check: a scripted op sends the code the
// current step waits for (with fuzzed body and sender), so every step is reached quickly.
// What must hold: no crash or undefined behaviour, a bounded number of datagrams sent for any one
// event, never more requests to a searcher's "Server1" than the responder's limit allows, and no
// datagram from a host that is no party to the check moves a step, a verdict or the mapped address.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/log.h"
#include "engine/check_module.h"
#include "engine/responder_limit.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_log.h"
#include "fuzz/fuzz_parties.h"
#include "net/messages.h"
#include "net/network_link.h"

namespace {

// Datagrams one delivery or one tick may cause: the most is a step's time-out that ends one test
// and starts the next (a request and the loopback probe) or the friend search (two searches).
constexpr int kMaxSendsPerEvent = 3;

// Owns no socket: slots are made-up handles and ports.
class CCountingNetwork : public INetworkLink {
public:
    void Send(NatMessage msg) override {
        ++sentThisEvent;
        if (MessageType(msg) == kMsgFriendPortRequest)
            ++serverAsks;
        if (msg.sendLength > kNatMessageDataSize)
            FuzzFail("a send longer than its record");
    }
    void CompleteRequest(ReceivedMessage, std::uint32_t) override {}
    SocketHandle GetSocket(int slot) const override {
        return slot >= 0 && slot < kSocketSlots ? 1000 + slot : kInvalidSocket;
    }
    int SocketCount() const override { return kSocketSlots; }
    std::uint16_t LocalPort(int slot) const override {
        return slot >= 0 && slot < kSocketSlots ? static_cast<std::uint16_t>(40100 + slot) : 0;
    }

    int sentThisEvent = 0;
    std::uint64_t serverAsks = 0;
};

CCountingNetwork& Network() {
    static CCountingNetwork* net = new CCountingNetwork;  // lives as long as the process
    return *net;
}

// What a stranger must not change.
struct Verdicts {
    std::int32_t step;
    std::vector<std::string> lines;
    std::uint32_t mappedIp;
    std::uint16_t mappedPort;
    bool operator==(const Verdicts&) const = default;
};

Verdicts Snapshot(const CNatProber& prober) {
    return {prober.Step(), prober.ResultLines(), prober.Outcome().mappedIp,
            prober.Outcome().mappedPort};
}

// Routes m; from a stranger, it must leave the verdicts as they were.
void RouteChecked(CCheckModule& module, ReceivedMessage& m) {
    const Verdicts before = Snapshot(module.Prober());
    module.RouteMessage(&m);
    if (!IsParty(m.fromAddress) && !(Snapshot(module.Prober()) == before))
        FuzzFail("a datagram from a stranger changed the check");
}

// The code each step waits for.
std::uint32_t AwaitedCode(std::int32_t step) {
    switch (step) {
        case StepServer1Binding:
        case StepServer2Binding:
        case StepPort9802:
            return ReplyCode(kMsgBindingRequest);
        case StepChangeAck:
            return ReplyCode(kMsgChangeRequest);
        case StepChangeReply:
            return kMsgChangedAddressReply;
        case StepPortChangeReply:
            return ReplyCode(kMsgPortChangeRequest);
        case StepAllocA:
            return ReplyCode(kMsgAllocTestA);
        case StepAllocB:
            return ReplyCode(kMsgAllocTestB);
        case StepAllocC:
            return ReplyCode(kMsgAllocTestC);
        case StepExcept1:
            return ReplyCode(kMsgExceptTest1);
        case StepExcept2:
            return ReplyCode(kMsgExceptTest2);
        case StepFriendSearch:
            return ReplyCode(kMsgFriendSearch);
        case StepFriendPort:
            return kMsgFriendPortReport;
        default:
            return kMsgFriendSearch;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ResetFuzzLog();
    CCountingNetwork& net = Network();
    net.serverAsks = 0;

    CCheckModule module;
    CNatProber& prober = module.Prober();
    prober.Attach(&net);
    prober.SetServers(kServer1, kServer1Port, kServer2, kServer2Port, kFriend);
    prober.SetLocalAddressSource([] { return LocalAddressSet{{kOwn}, {{kFriend, 0xFFFFFFFFu}}, {}}; });
    prober.SetSettingsPath("/nonexistent/gatewise-fuzz/STUN.ini");
    std::uint64_t nowMs = 1'000'000;
    const std::uint64_t startMs = nowMs;
    prober.ResponderLimit().SetClock([&nowMs] { return nowMs; });

    // GATEWISE_FUZZ_TRACE=1 prints the step after every event, to see where a seed leads.
    static const bool trace = std::getenv("GATEWISE_FUZZ_TRACE") != nullptr;
    CFuzzInput in(data, size);
    for (int event = 0; event < 400 && !in.Empty(); ++event) {
        net.sentThisEvent = 0;
        const std::uint8_t op = in.Byte();
        // The low nibble picks the event, the high one carries its flags.
        switch ((op & 0x0F) % 6) {
            case 0:
                prober.OnTick(0);
                nowMs += 1000;
                break;
            case 1:
                nowMs += std::uint64_t{in.Byte()} * 8;
                break;
            case 2: {  // any datagram from any sender
                std::uint8_t bytes[kReceivedDataSize];
                const std::size_t len = in.Bytes(bytes, in.Byte() % 40 + 1);
                ReceivedMessage m;
                const std::uint32_t from = Sender(in);
                const std::uint16_t port = in.Word();
                if (MakeReceived(m, bytes, len, from, port, net.GetSocket(in.Byte() % 6)))
                    RouteChecked(module, m);
                break;
            }
            case 3: {  // what the current step waits for, with a fuzzed body
                if (prober.Step() == StepIdle && (op & 0x80) != 0) {
                    prober.StartFilterCheck();
                    break;
                }
                const FuzzedReply r = MakeFuzzedReply(in, op, AwaitedCode(prober.Step()));
                ReceivedMessage m;
                MakeReceived(m, r.bytes, r.length, r.from, r.port, net.GetSocket(in.Byte() % 5));
                RouteChecked(module, m);
                break;
            }
            case 4:
                prober.StartFilterCheck();
                break;
            case 5: {  // a burst of searches from many senders, naming anyone as Server1
                const int count = in.Byte();
                for (int i = 0; i < count; ++i) {
                    std::uint8_t bytes[12];
                    EncodeEndpoint(bytes, kMsgFriendSearch, in.Long(), in.Word());
                    ReceivedMessage m;
                    MakeReceived(m, bytes, 12, 0x0002007Fu + (static_cast<std::uint32_t>(i) << 24),
                                 0x2926, net.GetSocket(3));
                    const int before = net.sentThisEvent;
                    module.RouteMessage(&m);
                    if (net.sentThisEvent - before > 2)
                        FuzzFail("one search caused more than two sends");
                    net.sentThisEvent = before;
                }
                break;
            }
        }
        if (net.sentThisEvent > kMaxSendsPerEvent)
            FuzzFail("one event caused too many sends");
        // At most the limit's rate over the simulated time, plus one full window at the start.
        const std::uint64_t windows = (nowMs - startMs) / CResponderLimit::kWindowMs + 1;
        if (net.serverAsks > windows * CResponderLimit::kSearchesPerWindow)
            FuzzFail("the responder asked more Server1s than its limit allows");
        if (prober.Step() < StepIdle || prober.Step() > StepPort9802)
            FuzzFail("the prober left its steps");
        if (trace)
            std::fprintf(stderr, "event %d: op %u, step %d, sent %d\n", event, op,
                         static_cast<int>(prober.Step()), net.sentThisEvent);
    }
    return 0;
}
