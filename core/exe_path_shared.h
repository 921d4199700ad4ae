#pragma once
// What exe_path.cpp (POSIX) and exe_path_win.cpp decide alike, so each twin holds only its
// system's calls. Included by those two files alone. Any thread (pure).

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace exe_path {

// Calls read(buffer, size) with buffers doubling from 512 characters up to maxSize until what it
// reads fits: the system's calls cut a long path to the buffer without saying so, except that a
// full buffer means "try a bigger one". read returns how many characters it wrote, or a negative
// number when it fails. Empty when it fails or nothing fits.
template <class Char, class Read>
std::optional<std::basic_string<Char>> ReadGrowing(std::size_t maxSize, Read read) {
    for (std::size_t size = 512; size <= maxSize; size *= 2) {
        std::vector<Char> buffer(size);
        const long n = read(buffer.data(), size);
        if (n < 0)
            return std::nullopt;
        if (static_cast<std::size_t>(n) < size)
            return std::basic_string<Char>(buffer.data(), static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

// The directory part of path with its trailing separator (any of separators); empty when the
// path has none.
inline std::string DirectoryPart(const std::string& path, const char* separators) {
    const std::size_t slash = path.find_last_of(separators);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace exe_path
