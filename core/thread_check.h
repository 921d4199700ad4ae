#pragma once
// Debug builds: asserts that an object is only ever entered from one thread, the thread of its
// first call (the engine's, for the prober). Release builds (NDEBUG) compile it to nothing.
// Any thread may call Check; that is what it checks.

#include <atomic>
#include <cassert>
#include <thread>

class CThreadChecker {
public:
    void Check() {
#ifndef NDEBUG
        const std::thread::id self = std::this_thread::get_id();
        std::thread::id expected{};
        // The first caller becomes the owner; later callers must be that thread.
        if (!m_owner.compare_exchange_strong(expected, self))
            assert(expected == self && "entered from a second thread");
#endif
    }
    // The next call binds the owner anew (an object handed to another thread while idle).
    void Release() { m_owner.store(std::thread::id{}); }

private:
    std::atomic<std::thread::id> m_owner{};
};
