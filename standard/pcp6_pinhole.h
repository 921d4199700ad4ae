#pragma once
// PCP over IPv6 (RFC 6887): asks the IPv6 default router whether it speaks PCP (ANNOUNCE) and,
// when told to, opens a pinhole: a MAP for this computer's own global address and one UDP port,
// which an IPv6 firewall grants by letting inbound packets to that address and port through
// (nothing is translated: the external address and port it reports are the internal ones). A
// pinhole asked for is deleted again (MAP, lifetime 0, the same nonce) before the run ends,
// also after a stop request. A state machine that changes state only in Start, OnDatagram,
// OnTimer and Abort; it sends through IStunTransport on a socket the caller holds (bound to the
// client address: the PCP server checks the source against it) and reads no clock, so tests
// drive it with a recording fake. Engine thread only (one).
//
// Answers count only from the router's port 5351, and a MAP answer only with the request's
// nonce, protocol and port (RFC 6887 section 11.4).

#include <cstdint>
#include <optional>
#include <span>

#include "net/address_text.h"
#include "standard/endpoint.h"
#include "standard/portmap_codec.h"
#include "standard/stun_check.h"  // IStunTransport

struct Pcp6Config {
    Ipv6Bytes gateway{};  // the PCP server: the IPv6 default router
    Ipv6Bytes client{};   // this computer's global address: the PCP client and the pinhole's
    int socketId = -1;    // the caller's socket, bound to client; its port is the one opened
    std::uint16_t internalPort = 0;
    bool map = false;  // open a pinhole (and delete it), not only ask whether PCP is there
    std::uint32_t lifetimeSeconds = 120;
    PcpNonce nonce{};
    // Each exchange retransmits after firstRetryMs, doubling, and gives up after its budget.
    std::uint64_t budgetMs = 2000;
    std::uint64_t deleteBudgetMs = 1000;
    std::uint64_t firstRetryMs = 250;
};

struct Pcp6Outcome {
    bool present = false;  // a PCP response came (any result code)
    bool natPmpOnly = false;
    std::optional<std::uint8_t> announceResult;
    std::optional<std::uint8_t> mapResult;
    std::optional<Ipv6Endpoint> external;  // a granted pinhole's external address and port
    std::uint32_t lifetimeSeconds = 0;     // the lifetime the router granted
    bool mapSent = false;                  // a pinhole may exist, so it is deleted
    std::optional<bool> deleted;           // after mapSent: the deletion was answered
};

class CPcp6Pinhole {
public:
    explicit CPcp6Pinhole(IStunTransport& transport) : m_transport(transport) {}
    CPcp6Pinhole(const CPcp6Pinhole&) = delete;
    CPcp6Pinhole& operator=(const CPcp6Pinhole&) = delete;

    // Sends the ANNOUNCE at nowMs (logging it).
    void Start(const Pcp6Config& config, std::uint64_t nowMs);
    // nowMs: the arrival time, when the next exchange (if any) starts.
    void OnDatagram(int socketId, const Endpoint& from, std::span<const std::uint8_t> bytes,
                    std::uint64_t nowMs);
    void OnTimer(std::uint64_t nowMs);
    // A stop request: nothing further is asked, but a pinhole asked for is still deleted (the
    // machine keeps running until that deletion is answered or its budget is spent).
    void Abort(std::uint64_t nowMs);
    std::optional<std::uint64_t> NextDeadline() const;

    bool Running() const { return m_phase != Phase::Idle; }
    const Pcp6Outcome& Outcome() const { return m_outcome; }

private:
    enum class Phase { Idle, Announce, Map, Delete };
    void Enter(Phase phase, std::uint64_t nowMs);
    void Send();
    void GiveUp(std::uint64_t nowMs);
    PcpMapRequest MapRequest(std::uint32_t lifetimeSeconds) const;

    IStunTransport& m_transport;
    Pcp6Config m_config;
    Pcp6Outcome m_outcome;
    Phase m_phase = Phase::Idle;
    std::uint64_t m_nextSendMs = 0;
    std::uint64_t m_intervalMs = 0;
    std::uint64_t m_giveUpMs = 0;
};
