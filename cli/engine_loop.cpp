#include "cli/engine_loop.h"

CEngineLoop::CEngineLoop(std::chrono::milliseconds tickPeriod) : m_period(tickPeriod) {}

void CEngineLoop::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.push_back(std::move(fn));
    }
    m_wake.notify_one();
}

void CEngineLoop::Quit() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_one();
}

void CEngineLoop::Interrupt(int signo) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_signal == 0)
            m_signal = signo;
    }
    m_wake.notify_one();
}

int CEngineLoop::Run() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point nextTick = Clock::now() + m_period;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_signal != 0)
            return m_signal;
        if (m_quit)
            return 0;
        const Clock::time_point now = Clock::now();
        // A due tick goes before queued jobs, so a stream of messages cannot hold off time-outs.
        if (now >= nextTick) {
            nextTick += m_period;
            // Like a window timer, a late tick is not made up for with a burst of ticks.
            if (nextTick <= now)
                nextTick = now + m_period;
            lock.unlock();
            if (m_onTick)
                m_onTick();
            if (m_afterEach)
                m_afterEach();
            lock.lock();
            continue;
        }
        if (!m_jobs.empty()) {
            std::function<void()> job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            if (job)
                job();
            // The job's captures die here, outside the lock, before the next event.
            job = nullptr;
            if (m_afterEach)
                m_afterEach();
            lock.lock();
            continue;
        }
        m_wake.wait_until(lock, nextTick);
    }
}

std::size_t CEngineLoop::DiscardPending() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped.swap(m_jobs);
    }
    return dropped.size();
}
