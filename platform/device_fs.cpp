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
constexpr std::u16string_view kMemoryCardFolder = u"\\SDMMC Disk";

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

class DeviceFile final : public detail::KernelObject {
  public:
    DeviceFile(int fd, DWORD access) : m_fd(fd), m_access(access) {}
    ~DeviceFile() override { ::close(m_fd); }
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;

    bool IsSignalledFor(DWORD) const override { return false; }
    int Fd() const { return m_fd; }
    bool CanRead() const { return (m_access & GENERIC_READ) != 0; }
    bool CanWrite() const { return (m_access & GENERIC_WRITE) != 0; }

  private:
    int m_fd;
    DWORD m_access;
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

bool SyncFolderOf(const std::string& hostPath) {
    auto slash = hostPath.rfind('/');
    std::string folder = slash == std::string::npos ? "." : hostPath.substr(0, slash ? slash : 1);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
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

bool MemoryCardPresent() {
    struct stat st {};
    auto card = MapDevicePath(kMemoryCardFolder);
    return card && ::stat(card->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

HANDLE CreateFile(LPCWSTR devicePath, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                  DWORD creationDisposition, DWORD, HANDLE) {
    auto host = MapOrFail(devicePath);
    if (!host) {
        return INVALID_HANDLE_VALUE;
    }
    const bool read = (access & GENERIC_READ) != 0;
    const bool write = (access & GENERIC_WRITE) != 0;
    int base = O_CLOEXEC | (write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY);

    bool mayCreate = false;
    bool mustCreate = false;
    bool truncate = false;
    switch (creationDisposition) {
        case CREATE_NEW:
            mustCreate = true;
            break;
        case CREATE_ALWAYS:
            mayCreate = true;
            truncate = true;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            mayCreate = true;
            break;
        case TRUNCATE_EXISTING:
            if (!write) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return INVALID_HANDLE_VALUE;
            }
            truncate = true;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }

    int fd = -1;
    DWORD success = ERROR_SUCCESS;
    // Creating exclusively first tells a new file from an existing one, which
    // Win32 reports; the loop covers a file removed between the two opens.
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        if (mayCreate || mustCreate) {
            success = ERROR_SUCCESS;
            fd = ::open(host->c_str(), base | O_CREAT | O_EXCL, 0644);
            if (fd >= 0 || errno != EEXIST) {
                break;
            }
            if (mustCreate) {
                SetLastError(ERROR_FILE_EXISTS);
                return INVALID_HANDLE_VALUE;
            }
            success = ERROR_ALREADY_EXISTS;
        }
        fd = ::open(host->c_str(), base | (truncate ? O_TRUNC : 0));
        if (fd < 0 && !(errno == ENOENT && mayCreate)) {
            break;
        }
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
    HANDLE handle = detail::InsertHandle(std::make_shared<DeviceFile>(fd, access));
    SetLastError(success);
    return handle;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, LPOVERLAPPED overlapped) {
    if (read != nullptr) {
        *read = 0;
    }
    auto object = detail::LookupHandleAs<DeviceFile>(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && toRead != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!object->CanRead()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    DWORD total = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (total < toRead) {
        ssize_t n = ::read(object->Fd(), bytes + total, toRead - total);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            SetLastError(ErrorFromErrno(errno));
            return FALSE;
        }
        if (n == 0) {
            break;
        }
        total += static_cast<DWORD>(n);
    }
    if (read != nullptr) {
        *read = total;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
               LPOVERLAPPED overlapped) {
    if (written != nullptr) {
        *written = 0;
    }
    auto object = detail::LookupHandleAs<DeviceFile>(file);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (overlapped != nullptr || (buffer == nullptr && toWrite != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!object->CanWrite()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    DWORD total = 0;
    const auto* bytes = static_cast<const char*>(buffer);
    while (total < toWrite) {
        ssize_t n = ::write(object->Fd(), bytes + total, toWrite - total);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            SetLastError(n < 0 ? ErrorFromErrno(errno) : ERROR_WRITE_FAULT);
            if (written != nullptr) {
                *written = total;
            }
            return FALSE;
        }
        total += static_cast<DWORD>(n);
    }
    if (written != nullptr) {
        *written = total;
    }
    return TRUE;
}

DWORD GetFileSize(HANDLE file, DWORD* sizeHigh) {
    auto object = detail::LookupHandleAs<DeviceFile>(file);
    struct stat st {};
    if (!object || ::fstat(object->Fd(), &st) != 0) {
        SetLastError(object ? ErrorFromErrno(errno) : ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (sizeHigh != nullptr) {
        *sizeHigh = static_cast<DWORD>(size >> 32);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
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

BOOL MoveFileEx(LPCWSTR fromDevicePath, LPCWSTR toDevicePath, DWORD flags) {
    auto from = MapOrFail(fromDevicePath);
    if (!from) {
        return FALSE;
    }
    auto to = MapOrFail(toDevicePath);
    if (!to) {
        return FALSE;
    }
    if (*to == *from) {
        // The target names the source in another case: as on the device, the
        // move gives the file the new spelling.
        auto parts = SplitDevicePath(toDevicePath);
        *to = to->substr(0, to->rfind('/') + 1) + ToUtf8(parts->back());
    }
    int rc;
    if (flags & MOVEFILE_REPLACE_EXISTING) {
        rc = ::rename(from->c_str(), to->c_str());
    } else {
        rc = ::renameat2(AT_FDCWD, from->c_str(), AT_FDCWD, to->c_str(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            // A file system without no-replace renames: check, then rename.
            struct stat st {};
            if (::lstat(to->c_str(), &st) == 0) {
                errno = EEXIST;
            } else {
                rc = ::rename(from->c_str(), to->c_str());
            }
        }
    }
    if (rc != 0) {
        SetLastError(OpenError(errno, *from));
        return FALSE;
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        SyncFolderOf(*from);
        SyncFolderOf(*to);
    }
    return TRUE;
}

FILE* OpenDeviceFile(std::u16string_view devicePath, const char* mode) {
    if (mode == nullptr || *mode == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto host = MapDevicePath(devicePath);
    if (!host) {
        SetLastError(ERROR_BAD_PATHNAME);
        return nullptr;
    }
    std::string closeOnExec = std::string(mode) + "e";
    FILE* file = std::fopen(host->c_str(), closeOnExec.c_str());
    if (file == nullptr) {
        SetLastError(errno == EINVAL ? ERROR_INVALID_PARAMETER : OpenError(errno, *host));
        return nullptr;
    }
    if (IsFolder(::fileno(file))) {
        std::fclose(file);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return file;
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
