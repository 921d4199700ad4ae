// The parts of SRV discovery that need no network: RFC 2782's order and the probe server pair.

#include "standard/srv_lookup.h"

#include <algorithm>
#include <random>

SrvRandom SystemSrvRandom() {
    return [engine = std::mt19937(std::random_device{}())](std::uint32_t bound) mutable {
        return std::uniform_int_distribution<std::uint32_t>(0, bound)(engine);
    };
}

namespace {

// One priority's records, weighted random order, appended to out (RFC 2782, "Usage rules").
void OrderOnePriority(std::vector<SrvRecord> left, const SrvRandom& random,
                      std::vector<SrvRecord>& out) {
    // Weight 0 first, so such a record is taken only when the random number is 0.
    std::stable_partition(left.begin(), left.end(),
                          [](const SrvRecord& r) { return r.weight == 0; });
    while (!left.empty()) {
        std::uint32_t sum = 0;  // 64 records of at most 65535 fit easily
        for (const SrvRecord& r : left)
            sum += r.weight;
        const std::uint32_t pick = std::min(random(sum), sum);
        std::uint32_t running = 0;
        auto chosen = left.begin();
        for (; chosen != left.end(); ++chosen) {
            running += chosen->weight;
            if (running >= pick)
                break;
        }
        out.push_back(std::move(*chosen));
        left.erase(chosen);
    }
}

}  // namespace

SrvOrder OrderSrvRecords(std::vector<SrvRecord> records, const SrvRandom& random) {
    SrvOrder order;
    if (records.size() == 1 && records[0].target == ".") {
        order.verdict = SrvOrder::Verdict::kNotOffered;
        return order;
    }
    std::erase_if(records, [](const SrvRecord& r) { return r.target == "." || r.target.empty(); });
    if (records.empty())
        return order;
    std::stable_sort(records.begin(), records.end(), [](const SrvRecord& a, const SrvRecord& b) {
        return a.priority < b.priority;
    });
    auto begin = records.begin();
    while (begin != records.end()) {
        const auto end = std::find_if(begin, records.end(), [&](const SrvRecord& r) {
            return r.priority != begin->priority;
        });
        OrderOnePriority({begin, end}, random, order.records);
        begin = end;
    }
    order.verdict = SrvOrder::Verdict::kUse;
    return order;
}

std::string SrvRecordText(const SrvRecord& r) {
    return std::to_string(r.priority) + " " + std::to_string(r.weight) + " " +
           std::to_string(r.port) + " " + r.target;
}

std::optional<SrvPair> ChooseSrvPair(const std::vector<SrvRecord>& ordered, std::string& why) {
    if (ordered.empty()) {
        why = "no records";
        return std::nullopt;
    }
    const std::uint32_t first = ordered.front().priority;
    const auto second = std::find_if(ordered.begin(), ordered.end(), [first](const SrvRecord& r) {
        return r.priority == first + 1;
    });
    if (second == ordered.end()) {
        why = "no record at priority " + std::to_string(first + 1) + " for STUN Server2";
        return std::nullopt;
    }
    return SrvPair{ordered.front(), *second};
}
