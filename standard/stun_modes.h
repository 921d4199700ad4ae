#pragma once
// The two modes of the standard STUN check, each its own small machine over the rules they share
// (CStunMachine). Check thread only.

#include <initializer_list>

#include "standard/stun_machine.h"

// The full run: one request at a time, each test on its own socket, RFC 5389 retransmission
// (StunTiming).
class CStunFullCheck final : public CStunMachine {
public:
    using CStunMachine::CStunMachine;

    void Start(const StunCheckConfig& config) override;

private:
    bool Listening(int socketId) const override { return socketId == m_txn.socket; }
    std::vector<const Transaction*> Waiting() const override;
    std::uint64_t LaterMs() const override;
    void OnGaveUp(Transaction& /*t*/) override { OnTimeout(); }
    void OnMessage(int socketId, const Endpoint& from, const StunMessage& msg) override;
    void Request(Test test, int socketId, const Endpoint& to, std::uint32_t changeFlags,
                 const Endpoint& expectFrom) override;

    void OnReply(const Reply& reply);
    void OnTimeout();
    void OnHairpinArrived();
    void AfterMapping();
    void StartFiltering();
    // Every request's retransmission (RFC 5389, StunTiming).
    ScheduleRule Rule() const;

    Transaction m_txn;  // the one in progress
    Endpoint m_mapII;   // the mapped address of test II, for test III
};

// Quick mode: test I alone first (the round trip and OTHER-ADDRESS), then every request that
// depends on no other answer at once, each test on its own socket, each request waiting by the
// round trip (the request schedule's QuickRule). The verdicts are read from the same answers as
// in the full run (see stun_check.h).
class CStunQuickCheck final : public CStunMachine {
public:
    using CStunMachine::CStunMachine;

    void Start(const StunCheckConfig& config) override;

private:
    enum class SlotState : std::uint8_t { Unused, Waiting, Answered, GaveUp, Cancelled };
    struct Slot {
        SlotState state = SlotState::Unused;
        Transaction txn;
        Endpoint mapped;  // of the answer
    };

    bool Listening(int socketId) const override;
    std::vector<const Transaction*> Waiting() const override;
    std::uint64_t LaterMs() const override;
    void OnGaveUp(Transaction& t) override;
    void AfterTimer() override { Decide(); }
    void OnMessage(int socketId, const Endpoint& from, const StunMessage& msg) override;
    void Request(Test test, int socketId, const Endpoint& to, std::uint32_t changeFlags,
                 const Endpoint& expectFrom) override;

    Slot& SlotOf(Test t) { return m_slots[static_cast<std::size_t>(t)]; }
    const Slot& SlotOf(Test t) const { return m_slots[static_cast<std::size_t>(t)]; }
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
