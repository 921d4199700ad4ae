#pragma once
// The three calls the engine makes of the network module. CUdpNetwork implements it; engine tests
// put a recording fake in its place. Called on the engine (user-interface) thread.

#include <cstdint>

#include "net/messages.h"

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
};
