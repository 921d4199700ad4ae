// SRV records: RFC 2782's order on a fixed random sequence, the probe server pair, and the
// c-ares query against a DNS server played on loopback.
#include "standard/srv_lookup.h"

#include <gtest/gtest.h>

#include <ostream>

#include <thread>

#include "tests/support/loopback_peer.h"

namespace {

using Verdict = SrvOrder::Verdict;

struct OrderRow {
    const char* name;
    std::vector<SrvRecord> records;
    std::vector<std::uint32_t> randoms;  // what the random source gives, in turn
    Verdict verdict;
    std::vector<std::string> order;          // targets
    std::vector<std::uint32_t> bounds = {};  // the sums the source was asked for, when checked
};

// Rows print as their name in test listings.
void PrintTo(const OrderRow& row, std::ostream* os) {
    *os << row.name;
}

// clang-format off
const OrderRow kOrderRows[] = {
    {.name = "LowestPriorityFirst", .records = {{20, 0, 1, "c"}, {10, 0, 1, "a"}, {15, 0, 1, "b"}}, .randoms = {0, 0, 0}, .verdict = Verdict::kUse, .order = {"a", "b", "c"}},
    // Sums 60+40: 70 falls past 60, so b; then a alone.
    {.name = "WeightPicksSecond", .records = {{10, 60, 1, "a"}, {10, 40, 1, "b"}}, .randoms = {70, 0}, .verdict = Verdict::kUse, .order = {"b", "a"}, .bounds = {100, 60}},
    {.name = "WeightPicksFirst", .records = {{10, 60, 1, "a"}, {10, 40, 1, "b"}}, .randoms = {60, 40}, .verdict = Verdict::kUse, .order = {"a", "b"}, .bounds = {100, 40}},
    // Weight 0 goes first in the list, so only a 0 takes it.
    {.name = "ZeroWeightOnlyOnZero", .records = {{10, 5, 1, "a"}, {10, 0, 1, "z"}}, .randoms = {1, 0}, .verdict = Verdict::kUse, .order = {"a", "z"}},
    {.name = "ZeroWeightOnZero", .records = {{10, 5, 1, "a"}, {10, 0, 1, "z"}}, .randoms = {0, 5}, .verdict = Verdict::kUse, .order = {"z", "a"}},
    {.name = "DotAloneNotOffered", .records = {{0, 0, 0, "."}}, .randoms = {}, .verdict = Verdict::kNotOffered, .order = {}},
    {.name = "DotAmongOthersDropped", .records = {{10, 0, 1, "."}, {20, 0, 1, "a"}}, .randoms = {0}, .verdict = Verdict::kUse, .order = {"a"}},
    {.name = "EmptyFallsBack", .records = {}, .randoms = {}, .verdict = Verdict::kNone, .order = {}},
};
// clang-format on

class SrvOrdering : public ::testing::TestWithParam<OrderRow> {};

TEST_P(SrvOrdering, FollowsRfc2782) {
    const OrderRow& r = GetParam();
    std::size_t next = 0;
    std::vector<std::uint32_t> bounds;
    const SrvOrder order = OrderSrvRecords(r.records, [&](std::uint32_t bound) {
        bounds.push_back(bound);
        return next < r.randoms.size() ? r.randoms[next++] : 0;
    });
    EXPECT_EQ(order.verdict, r.verdict);
    std::vector<std::string> targets;
    for (const SrvRecord& rec : order.records)
        targets.push_back(rec.target);
    EXPECT_EQ(targets, r.order);
    if (!r.bounds.empty()) {
        EXPECT_EQ(bounds, r.bounds);
    }
}

INSTANTIATE_TEST_SUITE_P(Srv, SrvOrdering, ::testing::ValuesIn(kOrderRows),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SrvPairChoice, PriorityAndTheNextOne) {
    std::string why;
    const auto pair =
        ChooseSrvPair({{10, 0, 70, "s1"}, {10, 0, 71, "x"}, {11, 0, 1170, "s2"}}, why);
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->server1, (SrvRecord{10, 0, 70, "s1"}));
    EXPECT_EQ(pair->server2, (SrvRecord{11, 0, 1170, "s2"}));
    // A gap of two priorities is a second pair's Server1, not this pair's Server2.
    EXPECT_FALSE(ChooseSrvPair({{10, 0, 70, "s1"}, {12, 0, 1170, "s2"}}, why));
    EXPECT_EQ(why, "no record at priority 11 for STUN Server2");
    EXPECT_FALSE(ChooseSrvPair({{65535, 0, 70, "s1"}}, why));
    EXPECT_EQ(SrvRecordText({10, 60, 3478, "stun1.example.org"}), "10 60 3478 stun1.example.org");
}

// One query answered on loopback by answer(query), or left unanswered when it gives nothing.
SrvLookup QueryLoopback(const std::function<gwtest::Bytes(const gwtest::Bytes&)>& answer,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
    gwtest::LoopbackPeer dns;
    EXPECT_TRUE(dns.Ok());
    std::thread server([&] {
        if (auto q = dns.Receive(std::chrono::milliseconds(3000))) {
            const gwtest::Bytes reply = answer(q->bytes);
            if (!reply.empty())
                dns.SendTo(q->fromPortHost, reply);
        }
    });
    SrvLookup found =
        LookupSrv("_stun._udp.gw.test", timeout, "127.0.0.1:" + std::to_string(dns.Port()));
    server.join();
    return found;
}

// The query's ID and question, with the flags, rcode and answer count given; records appended.
gwtest::Bytes Reply(const gwtest::Bytes& q, std::uint8_t rcode, std::uint8_t answers,
                    const gwtest::Bytes& records) {
    gwtest::Bytes r(q.begin(), q.end());
    r[2] = 0x81;          // QR, RD
    r[3] = 0x80 | rcode;  // RA
    r[6] = 0, r[7] = answers;
    r[8] = r[9] = r[10] = r[11] = 0;  // no authority, no additional (the query's OPT dropped)
    // The question alone: "_stun._udp.gw.test" (20 bytes) + type + class after the header.
    r.resize(12 + 20 + 4);
    r.insert(r.end(), records.begin(), records.end());
    return r;
}

TEST(SrvQueryLoopback, AnswerNoNameAndSilence) {
    if (!SrvLookupAvailable())
        GTEST_SKIP() << "built without c-ares";
    // clang-format off
    const gwtest::Bytes twoRecords = {
        0xC0, 0x0C, 0x00, 0x21, 0x00, 0x01, 0, 0, 0, 60, 0, 18,  // name -> question, SRV, IN, TTL 60, 18 bytes
        0, 10, 0, 60, 0x0D, 0x96,                                // priority 10, weight 60, port 3478
        2, 's', '1', 2, 'g', 'w', 4, 't', 'e', 's', 't', 0,      // s1.gw.test.
        0xC0, 0x0C, 0x00, 0x21, 0x00, 0x01, 0, 0, 0, 60, 0, 7,
        0, 0, 0, 0, 0, 0, 0,                                     // 0 0 0 "." (the root)
    };
    // clang-format on
    SrvLookup found =
        QueryLoopback([&](const gwtest::Bytes& q) { return Reply(q, 0, 2, twoRecords); });
    EXPECT_EQ(found.error, "");
    EXPECT_EQ(found.records,
              (std::vector<SrvRecord>{{10, 60, 3478, "s1.gw.test"}, {0, 0, 0, "."}}));

    // No such name: no records and no error, so the caller falls back.
    found = QueryLoopback([&](const gwtest::Bytes& q) { return Reply(q, 3, 0, {}); });
    EXPECT_EQ(found.error, "");
    EXPECT_TRUE(found.records.empty());

    // A server that never answers: an error within the time given, not c-ares's own minutes.
    const auto start = std::chrono::steady_clock::now();
    found = QueryLoopback([](const gwtest::Bytes&) { return gwtest::Bytes{}; },
                          std::chrono::milliseconds(300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_NE(found.error, "");
    EXPECT_TRUE(found.records.empty());
}

}  // namespace
