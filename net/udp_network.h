#pragma once
// The UDP network module: five sockets, the outgoing and received queues, the table of outstanding
// requests and four worker threads (receive, dispatch, send, retransmit).
//
// Threads: the constructor, Start, SetPaused, Send, CompleteRequest, GetSocket, Stop and the
// destructor are called on the engine's (user-interface) thread; Send and CompleteRequest are also
// safe from any other thread. The sink is called on the dispatch thread only.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "net/message_sink.h"
#include "net/messages.h"
#include "net/network_link.h"

// Local ports of the five slots; 0 = chosen by the system. Tests may move the fixed two.
struct NetworkPorts {
    std::uint16_t slot[5] = {0, 0, 0, 9801, 9802};
};

inline constexpr int kSocketSlots = 5;
inline constexpr int kBroadcastSlot = 3;  // 9801, broadcast permitted
inline constexpr int kFriendSlot = 4;     // 9802

class CUdpNetwork : public INetworkLink {
public:
    explicit CUdpNetwork(IReceiveSink* sink, NetworkPorts ports = {});
    ~CUdpNetwork() override;
    CUdpNetwork(const CUdpNetwork&) = delete;
    CUdpNetwork& operator=(const CUdpNetwork&) = delete;

    // Opens the five sockets and starts the four threads; false (no thread started) when a socket
    // cannot be opened. Called once.
    bool Start();
    void SetPaused(bool paused);
    // Sets the stop flag, cancels a delivery in flight, waits for the four threads (about a
    // second at most) and closes the sockets. Always true.
    bool Stop();

    void Send(NatMessage msg) override;
    void CompleteRequest(ReceivedMessage msg, std::uint32_t requestType) override;
    SocketHandle GetSocket(int slot) const override;
    int SocketCount() const override;

    // "%04d %04d %04d" of the address read as a native int32, the port as a native uint16 and the
    // type code.
    static std::string MakeRequestKey(std::uint32_t address, std::uint16_t port,
                                      std::uint32_t type);

    // For tests and diagnostics.
    std::size_t PendingCount() const;

private:
    // (Filled in by the implementation.)
};
