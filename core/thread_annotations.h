#pragma once
// Thread rules the compiler checks. With clang and -Wthread-safety a field marked GUARDED_BY(m)
// read without m held, or a function marked REQUIRES(m) called without it, is a compile error;
// other compilers see empty macros. std::mutex carries no annotations in libstdc++, so guarded
// state uses Mutex and MutexLock below. Any thread.

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define GW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define GW_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) GW_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY GW_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) GW_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) GW_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) GW_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) GW_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) GW_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) GW_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) GW_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) GW_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) GW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) GW_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS GW_THREAD_ANNOTATION(no_thread_safety_analysis)

// A std::mutex the analysis knows as a lock.
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
    // For std::condition_variable; waiting releases and retakes the lock, which the analysis
    // cannot see, so callers wait through MutexLock::Wait.
    std::mutex& Native() RETURN_CAPABILITY(this) { return m_mutex; }

private:
    std::mutex m_mutex;
};

// Holds a Mutex for its scope, like std::unique_lock, and waits on a condition variable with it.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_lock(mutex.Native()) {}
    ~MutexLock() RELEASE() = default;
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Wait(std::condition_variable& cv) { cv.wait(m_lock); }
    template <class Predicate>
    void Wait(std::condition_variable& cv, Predicate ready) {
        cv.wait(m_lock, ready);
    }
    template <class Duration>
    std::cv_status WaitFor(std::condition_variable& cv, Duration timeout) {
        return cv.wait_for(m_lock, timeout);
    }
    template <class Duration, class Predicate>
    bool WaitFor(std::condition_variable& cv, Duration timeout, Predicate ready) {
        return cv.wait_for(m_lock, timeout, ready);
    }
    template <class TimePoint, class Predicate>
    bool WaitUntil(std::condition_variable& cv, TimePoint deadline, Predicate ready) {
        return cv.wait_until(m_lock, deadline, ready);
    }

private:
    std::unique_lock<std::mutex> m_lock;
};
