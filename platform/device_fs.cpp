#include "platform/device_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/kernel_object.h"
#include "platform/text.h"

namespace platform {
namespace {

constexpr std::u16string_view kRegistryFolder = u".registry";

std::string HomeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir) {
        return found->pw_dir;
    }
    return "/";
}

std::string StripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// The components of a device path, or nullopt when the path is refused.
std::optional<std::vector<std::u16string_view>> SplitDevicePath(std::u16string_view devicePath) {
    std::vector<std::u16string_view> parts;
    std::size_t start = 0;
    while (start <= devicePath.size()) {
        std::size_t end = devicePath.find_first_of(u"\\/", start);
        if (end == std::u16string_view::npos) {
            end = devicePath.size();
        }
        std::u16string_view part = devicePath.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == u".") {
            continue;
        }
        if (part == u".." || part.find(u'\0') != std::u16string_view::npos) {
            return std::nullopt;
        }
        if (parts.empty() && EqualsNoCase(part, kRegistryFolder)) {
            return std::nullopt;
        }
        parts.push_back(part);
    }
    if (parts.empty()) {
        return std::nullopt;
    }
    return parts;
}

std::string JoinHostPath(const std::string& folder, const std::string& name) {
    return folder == "/" ? folder + name : folder + "/" + name;
}

// The name under which `folder` holds the entry a device path calls `name`
// (`wide` in UTF-16): `name` itself when it exists, else an entry equal to it
// ignoring case, as the device's FAT volumes match names. Should several
// differ only in case (FAT never has that), the lowest in byte order wins, so
// the choice never depends on the order of the listing. Nullopt when there is
// none, or the folder cannot be listed.
std::optional<std::string> FindEntry(const std::string& folder, const std::string& name,
                                     std::u16string_view wide) {
    struct stat st {};
    if (::lstat(JoinHostPath(folder, name).c_str(), &st) == 0) {
        return name;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> found;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view candidate(entry->d_name);
        // Case folding keeps a character's UTF-8 length, so only names of the
        // same length are worth converting.
        if (candidate.size() != name.size() || (found && candidate >= *found)) {
            continue;
        }
        if (EqualsNoCase(FromUtf8(candidate), wide)) {
            found = std::string(candidate);
        }
    }
    ::closedir(dir);
    return found;
}

// An open file as a kernel handle; the service only creates files through
// it, so it carries nothing but the descriptor.
class DeviceFile final : public detail::KernelObject {
  public:
    explicit DeviceFile(int fd) : m_fd(fd) {}
    ~DeviceFile() override { ::close(m_fd); }
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;

    bool IsSignalledFor(DWORD) const override { return false; }

  private:
    int m_fd;
};

// Win32 tells a missing file from a missing folder on the way to it.
DWORD MissingError(const std::string& hostPath) {
    auto slash = hostPath.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    struct stat st {};
    std::string parent = hostPath.substr(0, slash);
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    return ERROR_FILE_NOT_FOUND;
}

DWORD OpenError(int error, const std::string& hostPath) {
    return error == ENOENT ? MissingError(hostPath) : ErrorFromErrno(error);
}

std::optional<std::string> MapOrFail(LPCWSTR devicePath) {
    if (devicePath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    auto host = MapDevicePath(devicePath);
    if (!host) {
        SetLastError(ERROR_BAD_PATHNAME);
    }
    return host;
}

bool IsFolder(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
        case ENOTEMPTY:
            return ERROR_ALREADY_EXISTS;
        case ENAMETOOLONG:
        case ELOOP:
            return ERROR_BAD_PATHNAME;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EFBIG:
        case EDQUOT:
            return ERROR_WRITE_FAULT;
        default:
            return ERROR_ACCESS_DENIED;
    }
}

std::string DeviceRoot() {
    if (const char* root = std::getenv("DMBTPEG_ROOT"); root && *root) {
        return StripTrailingSlashes(root);
    }
    std::string state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
        state = StripTrailingSlashes(xdg);
    } else {
        state = StripTrailingSlashes(HomeDir()) + "/.local/state";
    }
    return state + "/dmbtpeg/device";
}

std::optional<std::string> MapDevicePath(std::u16string_view devicePath) {
    auto parts = SplitDevicePath(devicePath);
    if (!parts) {
        return std::nullopt;
    }
    std::string root = DeviceRoot();
    std::string literal = root;
    std::vector<std::string> names;
    names.reserve(parts->size());
    for (auto part : *parts) {
        names.push_back(ToUtf8(part));
        literal = JoinHostPath(literal, names.back());
    }
    // Spelled as on disk already (the usual case): nothing to look up.
    struct stat st {};
    if (::lstat(literal.c_str(), &st) == 0) {
        return literal;
    }
    std::string host = root;
    bool exists = true;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (exists) {
            if (auto found = FindEntry(host, names[i], (*parts)[i])) {
                host = JoinHostPath(host, *found);
                continue;
            }
            // Below a component that does not exist yet nothing can; the rest
            // keeps the spelling given, which is how it will be created.
            exists = false;
        }
        host = JoinHostPath(host, names[i]);
    }
    return host;
}

HANDLE CreateFile(LPCWSTR devicePath, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                  DWORD creationDisposition, DWORD, HANDLE) {
    if (creationDisposition != OPEN_EXISTING && creationDisposition != OPEN_ALWAYS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto host = MapOrFail(devicePath);
    if (!host) {
        return INVALID_HANDLE_VALUE;
    }
    const bool read = (access & GENERIC_READ) != 0;
    const bool write = (access & GENERIC_WRITE) != 0;
    const int flags = O_CLOEXEC | (write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY);
    DWORD success = ERROR_SUCCESS;
    int fd = -1;
    if (creationDisposition == OPEN_ALWAYS) {
        // Creating exclusively first tells a new file from an existing one,
        // which Win32 reports; O_CREAT again covers a file removed meanwhile.
        fd = ::open(host->c_str(), flags | O_CREAT | O_EXCL, 0644);
        if (fd < 0 && errno == EEXIST) {
            success = ERROR_ALREADY_EXISTS;
            fd = ::open(host->c_str(), flags | O_CREAT, 0644);
        }
    } else {
        fd = ::open(host->c_str(), flags);
    }
    if (fd < 0) {
        SetLastError(OpenError(errno, *host));
        return INVALID_HANDLE_VALUE;
    }
    if (IsFolder(fd)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = detail::InsertHandle(std::make_shared<DeviceFile>(fd));
    SetLastError(success);
    return handle;
}

BOOL CreateDirectory(LPCWSTR devicePath, LPSECURITY_ATTRIBUTES) {
    auto host = MapOrFail(devicePath);
    if (!host) {
        return FALSE;
    }
    if (::mkdir(host->c_str(), 0755) != 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFile(LPCWSTR devicePath) {
    auto host = MapOrFail(devicePath);
    if (!host) {
        return FALSE;
    }
    if (::unlink(host->c_str()) != 0) {
        SetLastError(OpenError(errno, *host));
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileAttributes(LPCWSTR devicePath) {
    auto host = MapOrFail(devicePath);
    if (!host) {
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st {};
    if (::stat(host->c_str(), &st) != 0) {
        SetLastError(OpenError(errno, *host));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

bool WriteFileAtomically(std::u16string_view devicePath, std::string_view bytes) {
    auto host = MapDevicePath(devicePath);
    if (!host) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    return WriteHostFileAtomically(*host, bytes);
}

}  // namespace platform
