#pragma once
// Quick mode of the standard STUN check: test I alone first (the round trip and OTHER-ADDRESS),
// then every request that depends on no other answer at once, each test on its own socket, each
// request waiting by the round trip (the request schedule's QuickRule). The verdicts are read from
// the same answers as in the full run (see stun_check.h). Check thread only.

#include "standard/stun_machine.h"

#include <initializer_list>

class CStunQuickCheck final : public CStunMachine {
public:
    using CStunMachine::CStunMachine;

    void Start(const StunCheckConfig& config) override;
    void OnTimer(std::uint64_t nowMs) override;

private:
    std::vector<const Transaction*> Waiting() const override;
    enum class SlotState : std::uint8_t { Unused, Waiting, Answered, GaveUp, Cancelled };
    struct Slot {
        SlotState state = SlotState::Unused;
        Transaction txn;
        Endpoint mapped;  // of the answer
    };

    bool Listening(int socketId) const override;
    void OnMessage(int socketId, const Endpoint& from, const StunMessage& msg) override;
    void Request(Test test, int socketId, const Endpoint& to, std::uint32_t changeFlags,
                 const Endpoint& expectFrom) override;

    Slot& SlotOf(Test t) { return m_slots[static_cast<std::size_t>(t)]; }
    // A usable answer; false when the run ended meanwhile.
    bool OnAnswer(Slot& slot, const Reply& reply, const StunMessage& msg);
    void AfterTestI(const Reply& reply);
    // The rule every request after test I waits by, from test I's round trip; logged.
    void SetRule();
    void GiveUp(Slot& slot);
    void Cancel(std::initializer_list<Test> tests);
    void Decide();
    void DecideMapping();
    void DecideHairpin();
    void DecideFiltering();
    void MappingDone();

    std::array<Slot, kTests> m_slots{};
    // Test I's round trip, and the rule every later request waits by.
    RoundTripEstimate m_rtt;
    ScheduleRule m_rule;
    // Which tests have their verdict, and a problem the filtering test found with the server
    // (it counts only when the mapping test found none).
    bool m_mapDone = false;
    bool m_hairDone = false;
    bool m_filtDone = false;
    std::string m_filtProblem;
};
