// Mutex objects. The system-wide part of a named mutex is a lock file: every
// process that holds the name open holds a shared flock on it, so the name
// exists exactly while some process holds it, and a process that dies lets go
// of it with its file descriptors. Creators serialise on a guard lock so that
// the test "does anybody hold it?" and taking the shared lock are one step.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "platform/kernel.h"
#include "platform/kernel_object.h"
#include "platform/log.h"
#include "platform/runtime_dir.h"
#include "platform/text.h"

namespace platform {
namespace {

// Keeps letters and digits; everything else becomes %XX of its UTF-8 bytes, so
// any name maps to one file name and no name can reach outside the folder.
std::string EscapeName(const std::u16string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : ToUtf8(name)) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
            c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

class FileLock {
public:
    FileLock(const std::string& path, int operation) : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (m_fd >= 0) {
            while (::flock(m_fd, operation) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Ownership is not modelled: the service creates its named mutex only to
// learn whether another instance holds the name, and nothing waits on one.
class Mutex final : public detail::KernelObject {
public:
    Mutex() = default;
    Mutex(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}
    ~Mutex() override;

    bool IsSignalledFor(DWORD) const override { return true; }

private:
    std::string m_path;
    int m_fd = -1;
};

// Named mutexes of this process, so that a second CreateMutex of the same name
// gives another handle to the same object, as it does on the original.
std::mutex gNamesMutex;
std::map<std::u16string, std::weak_ptr<Mutex>> gNames;

Mutex::~Mutex() {
    if (m_fd < 0) {
        return;
    }
    std::string dir = RuntimeDir();
    FileLock guard(dir + "/.guard", LOCK_EX);
    // Last holder anywhere: remove the file so the folder does not fill up.
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
        ::unlink(m_path.c_str());
    }
    ::close(m_fd);
}

}  // namespace

HANDLE CreateMutex(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR name) {
    std::shared_ptr<Mutex> mutex;
    DWORD error = ERROR_SUCCESS;
    if (name == nullptr || *name == u'\0') {
        mutex = std::make_shared<Mutex>();
    } else {
        std::u16string key(name);
        std::lock_guard names(gNamesMutex);
        mutex = gNames[key].lock();
        if (mutex) {
            error = ERROR_ALREADY_EXISTS;
        } else {
            std::string dir = RuntimeDir();
            if (!MakeRuntimeDirs(dir)) {
                DebugOutput(u"dmbtpeg: cannot create the runtime folder for named objects\n");
                SetLastError(ERROR_PATH_NOT_FOUND);
                return nullptr;
            }
            FileLock guard(dir + "/.guard", LOCK_EX);
            std::string path = dir + "/" + EscapeName(key) + ".mutex";
            int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (!guard.Valid() || fd < 0) {
                if (fd >= 0) {
                    ::close(fd);
                }
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                error = ERROR_ALREADY_EXISTS;
            }
            ::flock(fd, LOCK_SH);
            mutex = std::make_shared<Mutex>(path, fd);
            gNames[key] = mutex;
        }
    }
    HANDLE handle = detail::InsertHandle(mutex);
    SetLastError(error);
    return handle;
}

}  // namespace platform
