#pragma once
// A private temporary directory for one test, removed with everything in it.

#ifndef _WIN32
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>

class TempDir {
public:
    explicit TempDir(const std::string& parent = std::filesystem::temp_directory_path().string()) {
#ifdef _WIN32
        // No mkdtemp: a random name, created only if it is not there yet (a few tries).
        std::random_device random;
        for (int attempt = 0; attempt < 16 && m_path.empty(); ++attempt) {
            const std::string path = parent + "/gatewise-core-" + std::to_string(random());
            std::error_code error;
            if (std::filesystem::create_directory(path, error) && !error)
                m_path = path;
        }
#else
        std::string pattern = parent + "/gatewise-core-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr)
            m_path = pattern;
#endif
    }
    ~TempDir() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Ok() const {
        return !m_path.empty();
    }
    const std::string& Path() const {
        return m_path;
    }
    std::string File(const std::string& name) const {
        return m_path + "/" + name;
    }

private:
    std::string m_path;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifndef _WIN32  // FIFOs and inotify are POSIX and Linux
// A FIFO for a test that must not block on it. Should the code under test open it for reading
// and wait for a writer anyway, a writer comes after rescueAfter and closes at once (the reader
// then sees end of file), so the test fails with Rescued() instead of hanging.
class FifoGuard {
public:
    explicit FifoGuard(std::string path,
                       std::chrono::milliseconds rescueAfter = std::chrono::milliseconds(3000))
        : m_path(std::move(path)) {
        m_made = ::mkfifo(m_path.c_str(), 0600) == 0;
        m_thread = std::thread([this, rescueAfter] {
            const auto deadline = std::chrono::steady_clock::now() + rescueAfter;
            while (!m_done && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            // Opening for writing without blocking succeeds only while a reader waits.
            while (!m_done) {
                const int fd = ::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    m_rescued = true;
                    ::close(fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~FifoGuard() {
        m_done = true;
        m_thread.join();
    }
    FifoGuard(const FifoGuard&) = delete;
    FifoGuard& operator=(const FifoGuard&) = delete;

    bool Made() const { return m_made; }
    bool Rescued() const { return m_rescued; }

private:
    std::string m_path;
    bool m_made = false;
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_rescued{false};
    std::thread m_thread;
};

// How many times a file named name was renamed into dir while action ran: each is one
// replacement a reader could have seen. -1 when the directory cannot be watched.
inline int CountReplacements(const std::string& dir, const std::string& name,
                             const std::function<void()>& action) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return -1;
    // Both halves of a rename: alone, identical IN_MOVED_TO events in a row merge into one.
    if (::inotify_add_watch(fd, dir.c_str(), IN_MOVED_FROM | IN_MOVED_TO) < 0) {
        ::close(fd);
        return -1;
    }
    action();
    int count = 0;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if ((event->mask & IN_MOVED_TO) != 0 && event->len > 0 && name == event->name)
                ++count;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    ::close(fd);
    return count;
}
#endif
