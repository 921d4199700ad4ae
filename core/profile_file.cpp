#include "core/profile_file.h"

#include "core/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "core/profile_file_shared.h"

// The profile file's POSIX calls: stat/open/read/write/fsync/rename.

namespace {

using profile_file::Refused;

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

// A stat or open that failed with err: a file that is not there, or one that cannot be read.
ProfileFileState FailedWith(int err) {
    if (err == ENOENT || err == ENOTDIR)
        return profile_file::Missing();
    return profile_file::Unreadable(std::strerror(err));
}

// Why a file of that kind and size is never read; nullopt for a regular file of at most 1 MiB.
std::optional<ProfileFileState> Judge(const struct stat& st) {
    if (!S_ISREG(st.st_mode))
        return Refused(ProfileAccess::kNotRegular,
                       std::string("is ") + FileKind(st.st_mode) + ", not a regular file");
    return profile_file::JudgeSize(static_cast<std::uint64_t>(st.st_size));
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
        refused = profile_file::Unreadable(std::strerror(errno));
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
    if (state.access != ProfileAccess::kReadable)
        return profile_file::NotReadResult(state);
    const bool ok = profile_file::ReadBounded(
        [fd](char* buf, std::size_t cap) -> long {
            for (;;) {
                const ssize_t n = ::read(fd, buf, cap);
                if (n >= 0 || errno != EINTR)
                    return static_cast<long>(n);
            }
        },
        out);
    ::close(fd);
    return ok ? ProfileReadResult::kOk : ProfileReadResult::kFailed;
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
    const std::string temp =
        profile_file::TempPathBeside(target, "/", static_cast<unsigned long>(::getpid()));

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
        const int error = errno;
        ::unlink(temp.c_str());
        errno = error;  // the failed call's reason, not the clean-up's
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

void ClearProfileError() {
    errno = 0;
}

int LastProfileError() {
    return errno;
}

std::string ProfileErrorText(int code) {
    return std::strerror(code);
}
