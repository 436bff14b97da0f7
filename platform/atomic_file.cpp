// Atomic replacement of a file: temporary, flush, rename, flush the folder.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/device_fs.h"
#include "platform/kernel.h"

namespace platform {
namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

struct FolderFd {
    explicit FolderFd(int opened) : fd(opened) {}
    ~FolderFd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    FolderFd(const FolderFd&) = delete;
    FolderFd& operator=(const FolderFd&) = delete;
    const int fd;
};

// Naming an unnamed file goes through /proc, which a minimal system may lack.
bool CanNameUnnamedFiles() {
    static const bool can = ::access("/proc/self/fd", X_OK) == 0;
    return can;
}

// Gives the unnamed file open on `fd` a fresh name in `folder` from `pattern`
// (ending in XXXXXX), which it fills in.
bool LinkUnnamed(int fd, int folder, std::string& pattern) {
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    static std::atomic<unsigned> counter{0};
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned long value = (static_cast<unsigned long>(::getpid()) << 20) ^
                              (counter++ * 2654435761u) ^ static_cast<unsigned long>(attempt);
        for (std::size_t i = pattern.size() - 6; i < pattern.size(); ++i) {
            pattern[i] = kDigits[value % 36];
            value /= 36;
        }
        if (::linkat(AT_FDCWD, self.c_str(), folder, pattern.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

}  // namespace

bool WriteHostFileAtomically(const std::string& hostPath, std::string_view bytes) {
    auto slash = hostPath.rfind('/');
    std::string folder = slash == std::string::npos ? "." : hostPath.substr(0, slash ? slash : 1);
    std::string name = slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
    if (name.empty()) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    // Opened first and used for every later step, so the look-up of the
    // target, the naming, the rename and the folder's flush resolve one name each.
    // A folder we may write but not list is reached by path only (its flush is
    // then skipped).
    int opened = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0 && errno == EACCES) {
        opened = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    FolderFd folderFd(opened);
    if (folderFd.fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
        return false;
    }
    mode_t mode = 0644;
    struct stat old {};
    if (::fstatat(folderFd.fd, name.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode)) {
        mode = old.st_mode & 07777;
    }
    // Written as an unnamed file where the file system allows it: a process
    // killed while writing then leaves nothing behind. It gets its hidden
    // name only when complete, just before the rename.
    std::string temp = "." + name + ".tmp-XXXXXX";
    int fd = CanNameUnnamedFiles()
                 ? ::openat(folderFd.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600)
                 : -1;
    const bool unnamed = fd >= 0;
    if (!unnamed) {
        // In the target's folder so that the rename cannot cross file systems.
        std::string path = folder + "/" + temp;
        fd = ::mkostemp(path.data(), O_CLOEXEC);
        temp = path.substr(path.size() - temp.size());
    }
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    int error = errno;
    bool named = !unnamed;
    if (ok && unnamed) {
        ok = LinkUnnamed(fd, folderFd.fd, temp);
        error = errno;
        named = ok;
    }
    // Renamed before the close, so the name lives for as short a time as it can.
    if (ok && ::renameat(folderFd.fd, temp.c_str(), folderFd.fd, name.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        if (named) {
            ::unlinkat(folderFd.fd, temp.c_str(), 0);
        }
        SetLastError(ErrorFromErrno(error));
        return false;
    }
    // The rename is only durable once the folder is; a file system that cannot
    // flush folders still has the new file in place, so that is not a failure.
    ::fsync(folderFd.fd);
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace platform
