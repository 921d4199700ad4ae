// gatewise-micro-bench: the small operations every message passes through, so a regression in
// one of them shows as a number: request-key formatting, the pending table (record, complete,
// scan with N entries) and the wire readers and builders.
//
//   gatewise-micro-bench [--benchmark_filter=REGEX] [--benchmark_repetitions=N]

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "net/messages.h"
#include "net/pending_table.h"

namespace {

constexpr std::uint32_t kServerNet = 0x0A01A8C0;  // 192.168.1.10 as held in a record
constexpr std::uint16_t kPortNet = 0x960D;        // 3478

// N requests to N distinct ports, stamped at tick 0 with the engine's 3000 ms interval.
CPendingTable FilledTable(std::int64_t n) {
    CPendingTable table;
    for (std::int64_t i = 0; i < n; ++i) {
        NatMessage m =
            MakeRequest(kMsgBindingRequest, kServerNet, static_cast<std::uint16_t>(1000 + i), 3);
        m.retryCount = 1;
        table.Record(m);
    }
    return table;
}

void BM_MakeRequestKey(benchmark::State& state) {
    std::uint16_t port = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            CPendingTable::MakeRequestKey(kServerNet, ++port, kMsgBindingRequest));
}
BENCHMARK(BM_MakeRequestKey);

// One request entered and retired, as a reply that comes in time does, beside N others.
void BM_PendingRecordAndComplete(benchmark::State& state) {
    CPendingTable table = FilledTable(state.range(0));
    NatMessage m = MakeRequest(kMsgAllocTestA, kServerNet, kPortNet, 3);
    m.retryCount = 1;
    for (auto _ : state) {
        table.Record(m);
        benchmark::DoNotOptimize(table.Complete(kServerNet, kPortNet, kMsgAllocTestA));
    }
}
BENCHMARK(BM_PendingRecordAndComplete)->Arg(0)->Arg(16)->Arg(1024);

// A reply that retires nothing (late, or from another port).
void BM_PendingCompleteMiss(benchmark::State& state) {
    CPendingTable table = FilledTable(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(table.Complete(kServerNet, kPortNet, kMsgAllocTestB));
}
BENCHMARK(BM_PendingCompleteMiss)->Arg(16)->Arg(1024);

// The every-50-ms scan when nothing is due: the retransmit thread's steady cost during a check.
void BM_PendingScanNothingDue(benchmark::State& state) {
    CPendingTable table = FilledTable(state.range(0));
    std::size_t resent = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(table.Scan(1000, [&](const NatMessage&) { ++resent; }));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PendingScanNothingDue)->Arg(1)->Arg(16)->Arg(1024);

// A scan in which every entry is overdue: each is handed back and removed.
void BM_PendingScanAllDue(benchmark::State& state) {
    std::size_t resent = 0;
    for (auto _ : state) {
        state.PauseTiming();
        CPendingTable table = FilledTable(state.range(0));
        state.ResumeTiming();
        benchmark::DoNotOptimize(table.Scan(3001, [&](const NatMessage&) { ++resent; }));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PendingScanAllDue)->Arg(16)->Arg(1024);

ReceivedMessage Reply() {
    std::uint8_t bytes[kEndpointBodyLength];
    EncodeEndpoint(bytes, ReplyCode(kMsgBindingRequest), 0x0700710C, kPortNet);
    ReceivedMessage r;
    MakeReceived(r, bytes, sizeof bytes, kServerNet, kPortNet, 3);
    return r;
}

void BM_ReadReplyFields(benchmark::State& state) {
    const ReceivedMessage r = Reply();
    for (auto _ : state) {
        benchmark::DoNotOptimize(MessageType(r));
        benchmark::DoNotOptimize(EndpointBodyAddress(r));
        benchmark::DoNotOptimize(EndpointBodyPort(r));
        benchmark::DoNotOptimize(PortBody(r));
    }
}
BENCHMARK(BM_ReadReplyFields);

// What the receive thread does per datagram before queueing: check and copy into a record.
void BM_MakeReceived(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes(static_cast<std::size_t>(state.range(0)), 0x5A);
    ReceivedMessage r;
    for (auto _ : state) {
        benchmark::DoNotOptimize(MakeReceived(r, bytes.data(), bytes.size(), 1, 2, 3));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MakeReceived)->Arg(12)->Arg(300);

void BM_MakeEndpointRequest(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(MakeEndpointRequest(kMsgFriendPortRequest, kServerNet, kPortNet,
                                                     kServerNet, kPortNet, 4));
}
BENCHMARK(BM_MakeEndpointRequest);

}  // namespace

BENCHMARK_MAIN();
