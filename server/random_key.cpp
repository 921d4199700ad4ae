// RandomSipKey (siphash.h) from the system's random source. POSIX: getrandom, then
// /dev/urandom; random_key_win.cpp on Windows.

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "server/siphash.h"

namespace {

bool ReadAll(int fd, std::uint8_t* out, std::size_t len) {
    while (len > 0) {
        const ssize_t n = read(fd, out, len);
        if (n <= 0)
            return false;
        out += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

SipKey RandomSipKey() {
    SipKey key{};
    std::size_t got = 0;
    while (got < key.size()) {
        const ssize_t n = getrandom(key.data() + got, key.size() - got, 0);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got == key.size())
        return key;
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const bool ok = ReadAll(fd, key.data(), key.size());
        close(fd);
        if (ok)
            return key;
    }
    const std::uint64_t a = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    const std::uint64_t b = (std::uint64_t{static_cast<std::uint32_t>(getpid())} << 32) ^
                            reinterpret_cast<std::uintptr_t>(&key);
    std::memcpy(key.data(), &a, 8);
    std::memcpy(key.data() + 8, &b, 8);
    return key;
}
