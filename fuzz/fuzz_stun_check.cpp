// The STUN check fed arbitrary datagrams and well-formed responses with fuzzed classes,
// transaction IDs, addresses and senders, on any of its sockets, interleaved with the passing of
// a fake clock. The timer is driven honestly: whenever time moves, OnTimer runs at every deadline
// on the way, as the runner's poll loop would.
// What must hold: no crash or undefined behaviour; at most one datagram sent per event (six in
// quick mode, where test I's answer starts every other request at once) and only on a socket that
// is open; no socket left open once the run is over; a transaction never gives up later than
// capMs after now, and the whole run (eight transactions at most) ends within eight times capMs
// of its start (quick mode: three, test I, then hairpinning's test I and its request); a datagram
// from an address that is neither the server, the second server, the server's OTHER-ADDRESS, the
// mapped address nor anywhere the check sent to changes nothing (except the check's own hairpinned
// request, see Deliver); a datagram that does not carry a transaction ID the check sent changes
// nothing.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/log.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_log.h"
#include "net/stun_message.h"
#include "standard/stun_check.h"

namespace {

using TransactionId = std::array<std::uint8_t, kStunTransactionIdLength>;

// Network order, all on loopback (nothing is ever sent: the transport below only records).
constexpr std::uint32_t kServerIp = 0x0A00007F;    // 127.0.0.10
constexpr std::uint32_t kOtherIp = 0x0B00007F;     // 127.0.0.11
constexpr std::uint32_t kServer2Ip = 0x1400007F;   // 127.0.0.20
constexpr std::uint32_t kPublicIp = 0xC800007F;    // 127.0.0.200, "the NAT's public address"
constexpr std::uint32_t kOwnIp = 0x4D00007F;       // 127.0.0.77, "this computer"
constexpr std::uint32_t kStrangerIp = 0x6300007F;  // 127.0.0.99
constexpr std::uint16_t kServerPort = 3478;
constexpr std::uint16_t kOtherPort = 3479;

// Start, a reply and a timer step each begin at most one transaction or retransmit once; in quick
// mode test I's answer begins mapping II and III, hairpinning I and filtering I, II and III.
constexpr int kMaxSendsPerEvent = 1;
constexpr int kMaxQuickSendsPerEvent = 6;
constexpr std::uint64_t kMaxQuickChain = 3;
// Mapping I, II, III; hairpinning I and the hairpinned request; filtering I, II, III.
constexpr std::uint64_t kMaxTransactions = 8;
constexpr int kMaxEvents = 300;

// Records what the check sends; sockets are small ids that are never reused.
class CRecordingTransport : public IStunTransport {
public:
    int Open() override {
        ++opensThisEvent;
        if (failNextOpen) {
            failNextOpen = false;
            return -1;
        }
        const int id = nextId++;
        open.insert(id);
        if (open.size() > 3)
            FuzzFail("more than three sockets open at once");
        return id;
    }
    bool Send(int socketId, const Endpoint& toEp, std::span<const std::uint8_t> bytes) override {
        if (!toEp.IsIpv4())
            FuzzFail("an IPv6 destination where none was given");
        const Ipv4Endpoint to = *toEp.AsIpv4();
        ++sentThisEvent;
        if (open.count(socketId) == 0)
            FuzzFail("a send on a socket that is not open");
        StunMessage msg;
        if (ParseStun(bytes.data(), bytes.size(), msg) != StunParseError::None ||
            !msg.IsRfc5389() || msg.cls != StunClass::Request || msg.method != kStunMethodBinding)
            FuzzFail("the check sent something that is no Binding request");
        sentIds.insert(msg.transactionId);
        destinations.insert(to.address);
        lastSocket = socketId;
        lastTo = to;
        lastId = msg.transactionId;
        return !refuseSends;
    }
    void Close(int socketId) override {
        if (open.erase(socketId) == 0)
            FuzzFail("a close of a socket that is not open");
    }

    std::set<int> open;
    int nextId = 3;
    bool failNextOpen = false;
    bool refuseSends = false;
    int sentThisEvent = 0;
    int opensThisEvent = 0;
    std::set<TransactionId> sentIds;
    std::set<std::uint32_t> destinations;  // every address the check sent to
    int lastSocket = -1;
    Ipv4Endpoint lastTo;
    TransactionId lastId{};
};

// Everything a datagram that is no business of the check must leave as it was.
struct State {
    bool running;
    std::string step;
    std::optional<std::uint64_t> giveUpAt;
    std::optional<std::uint64_t> deadline;
    StunOutcome outcome;
    bool operator==(const State&) const = default;
};

State Snapshot(const CStunCheck& check) {
    return {check.Running(), check.StepName(), check.GiveUpAt(), check.NextDeadline(),
            check.Outcome()};
}

struct Harness {
    CRecordingTransport transport;
    std::uint64_t nowMs = 5'000'000;
    std::uint64_t runStartMs = 0;
    StunCheckConfig config;
    std::uint32_t idCounter = 0;
    CStunCheck check{transport, [this] { return nowMs; }};

    // The addresses a datagram may legitimately come from, as the check knows them now.
    bool IsParty(std::uint32_t addr) const {
        const StunOutcome& o = check.Outcome();
        return addr == config.server.Ipv4Address() ||
               (config.server2 && addr == config.server2->Ipv4Address()) ||
               (o.otherAddress && addr == o.otherAddress->Ipv4Address()) ||
               (o.mapped && addr == o.mapped->Ipv4Address()) ||
               transport.destinations.count(addr) != 0;
    }

    // The longest any transaction may wait: in quick mode a slow path stretches the cap to one
    // interval (at most the cap over the tries) and two round trips (at most test I's cap each).
    std::uint64_t CapMs() const {
        const StunQuickTiming& q = config.quickTiming;
        return config.quick ? std::max(q.capMs, q.firstCapMs) + 2 * q.firstCapMs
                            : config.timing.capMs;
    }

    void AfterEvent() {
        if (transport.sentThisEvent > (config.quick ? kMaxQuickSendsPerEvent : kMaxSendsPerEvent))
            FuzzFail("one event caused more sends than it may");
        if (transport.opensThisEvent > (config.quick ? 2 : 1))
            FuzzFail("one event opened more sockets than it may");
        if (!check.Running()) {
            if (!transport.open.empty())
                FuzzFail("a socket left open after the run");
            if (check.NextDeadline())
                FuzzFail("a deadline while idle");
            return;
        }
        const std::optional<std::uint64_t> giveUp = check.GiveUpAt();
        const std::optional<std::uint64_t> deadline = check.NextDeadline();
        if (!giveUp || !deadline)
            FuzzFail("a running check without a deadline");
        if (*giveUp > nowMs + CapMs())
            FuzzFail("a transaction waits longer than its cap");
        if (*deadline > *giveUp)
            FuzzFail("a deadline after the give-up time");
        if (nowMs - runStartMs > (config.quick ? kMaxQuickChain : kMaxTransactions) * CapMs())
            FuzzFail("the run outlived its transactions' caps");
    }

    void Start() {
        transport.sentThisEvent = 0;
        transport.opensThisEvent = 0;
        runStartMs = nowMs;
        check.Start(config);
        AfterEvent();
    }

    // Moves the clock to target, running the timer at every deadline on the way.
    void AdvanceTo(std::uint64_t target) {
        // Each call retransmits or gives up, so a run takes at most this many calls.
        const int transmissions =
            std::max(config.timing.transmissions, config.quickTiming.transmissions);
        int budget = static_cast<int>(kMaxTransactions) * (transmissions + 1) + 1;
        for (std::optional<std::uint64_t> d = check.NextDeadline(); d && *d <= target;
             d = check.NextDeadline()) {
            if (--budget < 0)
                FuzzFail("the timer makes no progress");
            nowMs = std::max(nowMs, *d);
            transport.sentThisEvent = 0;
            transport.opensThisEvent = 0;
            check.OnTimer(nowMs);
            AfterEvent();
        }
        nowMs = std::max(nowMs, target);
        AfterEvent();
    }

    void Deliver(int socketId, const Ipv4Endpoint& from, const std::uint8_t* bytes,
                 std::size_t len) {
        const State before = Snapshot(check);
        bool party = IsParty(from.address);
        bool knownId = false;
        if (len >= kStunHeaderLength) {
            TransactionId id;
            std::memcpy(id.data(), bytes + 8, id.size());
            knownId = transport.sentIds.count(id) != 0;
        }
        // The hairpinned request is known by its transaction ID alone, whoever it seems to come
        // from: a NAT that hairpins without translating the source still hairpins.
        StunMessage msg;
        if (before.step.find("hairpinned request") != std::string::npos && knownId &&
            ParseStun(bytes, len, msg) == StunParseError::None && msg.cls == StunClass::Request)
            party = true;
        transport.sentThisEvent = 0;
        transport.opensThisEvent = 0;
        check.OnDatagram(socketId, from, {bytes, len});
        const State after = Snapshot(check);
        const bool unchanged = after == before && transport.sentThisEvent == 0;
        // Our transaction ID from a third place answers a change request from where the test
        // cannot use it: the server is unable to do the test, which may end tests (and the run),
        // but no verdict and nothing sent may come of it.
        const StunOutcome& a = after.outcome;
        const StunOutcome& b = before.outcome;
        const bool endsTestsOnly = knownId && a.mapped == b.mapped && a.mapping == b.mapping &&
                                   a.filtering == b.filtering && a.hairpinning == b.hairpinning &&
                                   !(a.rfc5780 == true && b.rfc5780 != true) &&
                                   transport.sentThisEvent == 0;
        if (!party && !unchanged && !endsTestsOnly)
            FuzzFail("a datagram from a stranger changed the check");
        if (!knownId && !unchanged)
            FuzzFail("a datagram with a transaction ID never sent changed the check");
        AfterEvent();
    }
};

// Mostly the addresses of the parties, sometimes anything.
Ipv4Endpoint PickEndpoint(CFuzzInput& in, const Harness& h) {
    const StunOutcome& o = h.check.Outcome();
    switch (in.Byte() % 12) {
        case 0:
            return *h.config.server.AsIpv4();
        case 1:
            return {kOtherIp, kOtherPort};
        case 2:
            return {kOtherIp, kServerPort};
        case 3:
            return {kServerIp, kOtherPort};
        case 4:
            return h.transport.lastTo;
        case 5:
            return o.mapped ? *o.mapped->AsIpv4() : h.transport.lastTo;
        case 6:
            return *(h.config.server2 ? *h.config.server2 : h.config.server).AsIpv4();
        case 7:
            return {kStrangerIp, in.Word()};
        case 8:
            return {kPublicIp, in.Word()};
        case 9:
            return {kOwnIp, in.Word()};
        case 10:
            return {h.config.server.Ipv4Address(), in.Word()};
        default:
            return {in.Long(), in.Word()};
    }
}

int PickSocket(CFuzzInput& in, const Harness& h) {
    const std::uint8_t b = in.Byte();
    if (b < 0xC0)
        return h.transport.lastSocket;
    return b % 8 - 1;  // -1 to 6: old, future and made-up ids
}

std::optional<Ipv4Endpoint> PickAttribute(CFuzzInput& in, const Harness& h) {
    const std::uint8_t b = in.Byte();
    if (b % 4 == 0)
        return std::nullopt;
    return PickEndpoint(in, h);
}

StunAddress ToStun(const Ipv4Endpoint& e) {
    return StunIpv4(e.address, static_cast<std::uint16_t>((e.port >> 8) | (e.port << 8)));
}

// A well-formed response (or request, for the hairpin) with fuzzed fields.
void DeliverResponse(CFuzzInput& in, std::uint8_t flags, Harness& h) {
    StunMessage msg;
    const StunClass classes[] = {StunClass::Success, StunClass::Success, StunClass::Error,
                                 StunClass::Request};
    msg.cls = classes[flags & 0x3];
    if ((flags & 0x4) != 0)
        msg.method = static_cast<std::uint16_t>(in.Word() & 0x0FFF);
    const std::uint8_t idChoice = in.Byte();
    if (idChoice < 0xC0) {
        msg.transactionId = h.transport.lastId;
    } else if (idChoice < 0xE0 && !h.transport.sentIds.empty()) {
        auto it = h.transport.sentIds.begin();
        std::advance(it, in.Byte() % h.transport.sentIds.size());
        msg.transactionId = *it;
    } else {
        in.Bytes(msg.transactionId.data(), msg.transactionId.size());
    }
    const auto pick = [&in, &h](StunAddress& field) {
        if (auto a = PickAttribute(in, h))
            field = ToStun(*a);
    };
    pick(msg.xorMapped);
    if ((flags & 0x8) != 0)
        pick(msg.mapped);
    pick(msg.otherAddress);
    pick(msg.responseOrigin);
    if ((flags & 0x20) != 0) {
        // The RFC 3489 form: its attributes, and now and then no magic cookie (the whole
        // 128 bits are the server's idea of the ID).
        pick(msg.changedAddress);
        pick(msg.sourceAddress);
        if ((flags & 0x40) != 0)
            msg.cookie = static_cast<std::uint32_t>(in.Long());
    }
    if (msg.cls == StunClass::Error) {
        msg.hasErrorCode = true;
        msg.errorCode = static_cast<std::uint16_t>(300 + in.Byte() % 3 * 100 + in.Byte() % 100);
        msg.errorReason = "Bad Request";
    }
    msg.fingerprint = (flags & 0x10) != 0;
    std::uint8_t buf[256];
    const std::size_t len = EncodeStun(msg, buf, sizeof buf);
    if (len == 0)
        FuzzFail("a response the encoder refused");
    const int socketId = PickSocket(in, h);
    const Ipv4Endpoint from = PickEndpoint(in, h);
    h.Deliver(socketId, from, buf, len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ResetFuzzLog();
    CFuzzInput in(data, size);

    Harness h;
    // The first byte picks the servers and the timing; the rest are events.
    const std::uint8_t setup = in.Byte();
    h.config.server = Ipv4Endpoint{kServerIp, kServerPort};
    switch (setup & 0x3) {
        case 1:
            h.config.server2 = Ipv4Endpoint{kServer2Ip, kServerPort};
            break;
        case 2:
            h.config.server2 = Ipv4Endpoint{kServerIp, 3480};  // same IP, other port
            break;
        case 3:
            h.config.server2 = h.config.server;
            break;
        default:
            break;
    }
    if ((setup & 0x4) != 0) {
        // Any sane timing: a few milliseconds to a few seconds, one to ten transmissions.
        h.config.timing.rtoMs = 1 + in.Word() % 2000;
        h.config.timing.transmissions = 1 + in.Byte() % 10;
        h.config.timing.lastWaitFactor = 1 + in.Byte() % 32;
        h.config.timing.capMs = 1 + in.Word() % 20000;
    }
    if ((setup & 0x8) != 0) {
        h.config.quick = true;
        if ((setup & 0x10) != 0) {
            StunQuickTiming& q = h.config.quickTiming;
            q.firstRtoMs = 1 + in.Word() % 2000;
            q.minRtoMs = 1 + in.Word() % 2000;
            q.rttFactor = 1 + in.Byte() % 5;
            q.transmissions = 1 + in.Byte() % 10;
            q.capMs = 1 + in.Word() % 20000;
            q.firstCapMs = 1 + in.Word() % 20000;
        }
    }
    // Distinct IDs, the same for every run of one input (so a finding replays).
    h.check.SetTransactionIdSource([&h] {
        TransactionId id{};
        ++h.idCounter;
        std::memcpy(id.data(), &h.idCounter, sizeof h.idCounter);
        id[11] = 0xA5;
        return id;
    });
    h.check.SetLocalAddressTest([](const Endpoint& a) {
        return a.IsIpv4() && a.Ipv4Address() == kOwnIp ? CStunCheck::LocalMatch::Own
                                                       : CStunCheck::LocalMatch::Other;
    });
    h.Start();

    // GATEWISE_FUZZ_TRACE=1 prints the step after every event and the verdicts at the end, to
    // see where a seed leads.
    static const bool trace = std::getenv("GATEWISE_FUZZ_TRACE") != nullptr;
    for (int event = 0; event < kMaxEvents && !in.Empty(); ++event) {
        const std::uint8_t op = in.Byte();
        // The low nibble picks the event, the high one carries its flags.
        switch ((op & 0x0F) % 7) {
            case 0:  // to the next deadline
                if (auto d = h.check.NextDeadline())
                    h.AdvanceTo(*d);
                break;
            case 1:  // some time passes
                h.AdvanceTo(h.nowMs + in.Word() % 12000);
                break;
            case 2: {  // any bytes from anyone on any socket
                std::uint8_t bytes[128];
                const std::size_t want = in.Byte() % sizeof bytes + 1;
                const std::size_t len = in.Bytes(bytes, want);
                const int socketId = PickSocket(in, h);
                const Ipv4Endpoint from = PickEndpoint(in, h);
                h.Deliver(socketId, from, bytes, len);
                break;
            }
            case 3:
            case 4:
                DeliverResponse(in, static_cast<std::uint8_t>(op >> 3), h);
                break;
            case 5:  // the system's mood: refused sends, a socket that cannot be opened
                h.transport.refuseSends = (op & 0x10) != 0;
                h.transport.failNextOpen = (op & 0x20) != 0;
                break;
            case 6:
                if ((op & 0x80) != 0) {
                    h.Start();  // again: the run in progress is stopped first
                } else if ((op & 0x40) != 0) {
                    h.check.Stop();
                    if (h.check.Running() || !h.transport.open.empty())
                        FuzzFail("Stop left the run going");
                }
                break;
        }
        if (trace)
            std::fprintf(stderr, "event %d: op %u, at %llu ms, step \"%s\"\n", event, op,
                         static_cast<unsigned long long>(h.nowMs - h.runStartMs),
                         h.check.StepName().c_str());
    }
    if (trace) {
        for (const std::string& line : h.check.Outcome().lines)
            std::fprintf(stderr, "  %s\n", line.c_str());
    }
    // Whatever happened, the run ends by its cap once time moves on.
    if (h.check.Running()) {
        h.AdvanceTo(h.runStartMs + kMaxTransactions * h.CapMs());
        if (h.check.Running())
            FuzzFail("the run did not end within eight transactions' cap");
    }
    return 0;
}
