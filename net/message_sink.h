#pragma once
// Where the network module's dispatch thread hands each received message.

#include "net/messages.h"

class IReceiveSink {
public:
    virtual ~IReceiveSink() = default;
    // Dispatch thread: delivers one message synchronously to the engine's thread and returns when
    // it has been handled, or when the delivery was cancelled. msg lives only during the call.
    virtual void OnReceive(const ReceivedMessage* msg) = 0;
    // Any thread (CUdpNetwork::Stop): makes a delivery in progress, and every later one, return
    // without waiting for the engine's thread. The engine never sees a cancelled message.
    virtual void CancelDelivery() = 0;
};
