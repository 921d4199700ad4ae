#include "cli/engine_loop.h"

CEngineLoop::CEngineLoop(std::chrono::milliseconds tickPeriod) : m_period(tickPeriod) {}

void CEngineLoop::Post(std::function<void()> fn) {
    {
        MutexLock lock(m_mutex);
        m_jobs.push_back(std::move(fn));
    }
    m_wake.notify_one();
}

void CEngineLoop::Quit() {
    {
        MutexLock lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_one();
}

void CEngineLoop::Interrupt(int signo) {
    {
        MutexLock lock(m_mutex);
        if (m_signal == 0)
            m_signal = signo;
    }
    m_wake.notify_one();
}

CEngineLoop::Event CEngineLoop::WaitForNext(std::chrono::steady_clock::time_point& nextTick) {
    using Clock = std::chrono::steady_clock;
    MutexLock lock(m_mutex);
    for (;;) {
        if (m_signal != 0)
            return {.kind = Event::kEnd, .job = {}, .result = m_signal};
        if (m_quit)
            return {.kind = Event::kEnd, .job = {}, .result = 0};
        const Clock::time_point now = Clock::now();
        // A due tick goes before queued jobs, so a stream of messages cannot hold off time-outs.
        if (now >= nextTick) {
            nextTick += m_period;
            // Like a window timer, a late tick is not made up for with a burst of ticks.
            if (nextTick <= now)
                nextTick = now + m_period;
            return {.kind = Event::kTick, .job = {}, .result = 0};
        }
        if (!m_jobs.empty()) {
            Event event{.kind = Event::kJob, .job = std::move(m_jobs.front()), .result = 0};
            m_jobs.pop_front();
            return event;
        }
        lock.WaitFor(m_wake, nextTick - now);
    }
}

int CEngineLoop::Run() {
    std::chrono::steady_clock::time_point nextTick = std::chrono::steady_clock::now() + m_period;
    for (;;) {
        Event event = WaitForNext(nextTick);
        if (event.kind == Event::kEnd)
            return event.result;
        if (event.kind == Event::kTick && m_onTick)
            m_onTick();
        if (event.job)
            event.job();
        // The job's captures die here, outside the lock, before the next event.
        event.job = nullptr;
        if (m_afterEach)
            m_afterEach();
    }
}

std::size_t CEngineLoop::DiscardPending() {
    std::deque<std::function<void()>> dropped;
    {
        MutexLock lock(m_mutex);
        dropped.swap(m_jobs);
    }
    return dropped.size();
}
