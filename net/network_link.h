#pragma once
// Everything the engine asks of the network module. CUdpNetwork implements it; engine tests and
// the engine fuzzer put fakes in its place that own no sockets. Called on the engine
// (user-interface) thread.

#include <cstdint>

#include "net/messages.h"

// The network module's sockets, by slot.
inline constexpr int kProbeSlot = 0;    // the check's own socket (system-chosen port)
inline constexpr int kExceptSlot1 = 1;  // the exceptional-behaviour test's two sockets
inline constexpr int kExceptSlot2 = 2;
inline constexpr int kSearchSlot = 3;    // 9801, broadcast permitted: friend searches
inline constexpr int kPort9802Slot = 4;  // 9802: what friends compare
inline constexpr int kSocketSlots = 5;

class INetworkLink {
public:
    virtual ~INetworkLink() = default;
    // Queues msg for sending (tracked requests enter the pending table when transmitted).
    virtual void Send(NatMessage msg) = 0;
    // Retires the pending request (msg.fromAddress, msg.fromPort, requestType), if any.
    virtual void CompleteRequest(ReceivedMessage msg, std::uint32_t requestType) = 0;
    // Socket of slot 0-4; kInvalidSocket for a slot the module does not have.
    virtual SocketHandle GetSocket(int slot) const = 0;
    // Number of sockets the module holds (5 after a successful Start).
    virtual int SocketCount() const = 0;
    // Local port of slot's socket (host order); 0 for a slot the module does not have, or whose
    // port cannot be read.
    virtual std::uint16_t LocalPort(int slot) const = 0;
};
