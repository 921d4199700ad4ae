#include "net/socket_layer.h"

#include "net/socket_layer_shared.h"

// The parts of socket_layer.h no system is in; socket_layer.cpp (POSIX) or socket_layer_win.cpp
// holds the calls.

std::vector<SocketHandle> WaitReadable(const std::vector<SocketHandle>& sockets, int timeoutMs,
                                       CReadWakeup* wakeup) {
    std::vector<SocketHandle> ready;
    const bool wakeable = wakeup != nullptr && wakeup->Valid();
    if (sockets.empty() && !wakeable)
        return ready;
    // The wake-up end goes last, so the sockets keep their places.
    std::vector<SocketHandle> handles = sockets;
    if (wakeable)
        handles.push_back(wakeup->m_readEnd);
    std::vector<bool> readable;
    if (!socket_layer::PollReadable(handles, timeoutMs, readable))
        return ready;
    if (wakeable && readable.back())
        wakeup->Drain();
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        if (readable[i])
            ready.push_back(sockets[i]);
    }
    return ready;
}
