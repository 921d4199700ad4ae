#pragma once
// The engine's thread as the network side sees it: the place received messages are handed to.
// The command-line client implements it with its own event loop; the desktop application with Qt.

#include <functional>

class INotifyTarget {
public:
    virtual ~INotifyTarget() = default;
    // Any thread: runs fn later on the engine's thread, in posting order. Must not run fn inline.
    virtual void Post(std::function<void()> fn) = 0;
};
