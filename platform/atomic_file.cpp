// Atomic replacement of a file: temporary, flush, rename, flush the folder.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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
    // target, the rename and the folder's flush resolve one name each.
    FolderFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Hidden, and in the target's folder so that the rename cannot cross file
    // systems.
    const std::string tempName = "." + name + ".tmp-XXXXXX";
    std::string temp = folder + "/" + tempName;
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
        return false;
    }
    const char* tempInFolder = temp.c_str() + (temp.size() - tempName.size());

    mode_t mode = 0644;
    struct stat old {};
    const int found = folderFd.fd >= 0 ? ::fstatat(folderFd.fd, name.c_str(), &old, 0)
                                       : ::stat(hostPath.c_str(), &old);
    if (found == 0 && S_ISREG(old.st_mode)) {
        mode = old.st_mode & 07777;
    }
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok) {
        const int renamed =
            folderFd.fd >= 0
                ? ::renameat(folderFd.fd, tempInFolder, folderFd.fd, name.c_str())
                : ::rename(temp.c_str(), hostPath.c_str());
        if (renamed != 0) {
            ok = false;
            error = errno;
        }
    }
    if (!ok) {
        ::unlink(temp.c_str());
        SetLastError(ErrorFromErrno(error));
        return false;
    }
    // The rename is only durable once the folder is; a file system that cannot
    // flush folders still has the new file in place, so that is not a failure.
    if (folderFd.fd >= 0) {
        ::fsync(folderFd.fd);
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace platform
