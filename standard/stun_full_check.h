#pragma once
// The full run of the standard STUN check: one request at a time, each test on its own socket,
// RFC 5389 retransmission (StunTiming). Check thread only.

#include "standard/stun_machine.h"

class CStunFullCheck final : public CStunMachine {
public:
    using CStunMachine::CStunMachine;

    void Start(const StunCheckConfig& config) override;
    void OnTimer(std::uint64_t nowMs) override;

private:
    std::vector<const Transaction*> Waiting() const override {
        return m_running ? std::vector<const Transaction*>{&m_txn} : std::vector<const Transaction*>{};
    }
    bool Listening(int socketId) const override { return socketId == m_txn.socket; }
    void OnMessage(int socketId, const Endpoint& from, const StunMessage& msg) override;
    void Request(Test test, int socketId, const Endpoint& to, std::uint32_t changeFlags,
                 const Endpoint& expectFrom) override;

    void OnReply(const Reply& reply);
    void OnTimeout();
    void OnHairpinArrived();
    void AfterMapping();
    void StartFiltering();

    Transaction m_txn;      // the one in progress
    Endpoint m_mapII;       // the mapped address of test II, for test III
};
