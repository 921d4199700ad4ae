#include "core/profile_file.h"

#include "core/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

// The profile file's POSIX calls: stat/open/read/write/fsync/rename.

namespace {

const char* FileKind(mode_t mode) {
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a plain file";
}

ProfileFileState Refused(ProfileAccess access, std::string reason) {
    ProfileFileState state;
    state.access = access;
    state.reason = std::move(reason);
    return state;
}

// A stat or open that failed with err: a file that is not there, or one that cannot be read.
ProfileFileState FailedWith(int err) {
    if (err == ENOENT || err == ENOTDIR)
        return Refused(ProfileAccess::kMissing, "does not exist");
    return Refused(ProfileAccess::kUnreadable,
                   std::string("cannot be read: ") + std::strerror(err));
}

// Why a file of that kind and size is never read; nullopt for a regular file of at most 1 MiB.
std::optional<ProfileFileState> Judge(const struct stat& st) {
    if (!S_ISREG(st.st_mode))
        return Refused(ProfileAccess::kNotRegular,
                       std::string("is ") + FileKind(st.st_mode) + ", not a regular file");
    if (static_cast<std::uint64_t>(st.st_size) > kMaxProfileBytes)
        return Refused(ProfileAccess::kTooLarge, "is larger than 1 MiB");
    return std::nullopt;
}

// The state of the file and, when readable, its descriptor (the caller closes it).
ProfileFileState OpenProfile(const std::string& path, int& fd) {
    fd = -1;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return FailedWith(errno);
    // A device or FIFO is never opened: opening one can block or have side effects.
    if (auto refused = Judge(st))
        return *refused;
    // Non-blocking, in case a FIFO took the file's place since the stat.
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return FailedWith(errno);
    std::optional<ProfileFileState> refused;
    if (::fstat(fd, &st) != 0) {
        refused = Refused(ProfileAccess::kUnreadable,
                          std::string("cannot be read: ") + std::strerror(errno));
    } else {
        refused = Judge(st);
    }
    if (refused) {
        ::close(fd);
        fd = -1;
        return *refused;
    }
    return {};
}

}  // namespace

ProfileReadResult ReadProfileFile(const std::string& path, std::string& out) {
    out.clear();
    int fd = -1;
    const ProfileFileState state = OpenProfile(path, fd);
    if (state.access == ProfileAccess::kMissing)
        return ProfileReadResult::kMissing;
    if (state.access != ProfileAccess::kReadable)
        return ProfileReadResult::kFailed;
    char chunk[8192];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return ProfileReadResult::kFailed;
        }
        out.append(chunk, static_cast<std::size_t>(n));
        // A file that grows while it is read is cut off at the bound, not followed.
        if (out.size() > kMaxProfileBytes) {
            ::close(fd);
            out.clear();
            return ProfileReadResult::kFailed;
        }
    }
    ::close(fd);
    return ProfileReadResult::kOk;
}

ProfileFileState CheckProfileFile(const std::string& path) {
    int fd = -1;
    ProfileFileState state = OpenProfile(path, fd);
    if (fd >= 0)
        ::close(fd);
    return state;
}

std::string ProfileWriteTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
        return path;
    return resolved;
}

namespace {

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool ReplaceProfileFile(const std::string& target, const std::string& data) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string temp = dir + "." + base + ".tmp." + std::to_string(::getpid()) + "." +
                             std::to_string(counter.fetch_add(1));

    // 0666 less the umask for a new file, as any editor would create it.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = true;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0)
        ok = ::fchmod(fd, st.st_mode & 07777) == 0;
    ok = ok && WriteAll(fd, data) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Makes the rename itself durable; the data is already safe, so a failure here is ignored.
    const int dirFd = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}
