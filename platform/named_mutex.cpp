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
#include <vector>

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
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-') {
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
    FileLock(const std::string& path, int operation)
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
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

class Mutex final : public detail::KernelObject, public std::enable_shared_from_this<Mutex> {
  public:
    Mutex() = default;
    Mutex(std::u16string name, std::string path, int fd)
        : m_name(std::move(name)), m_path(std::move(path)), m_fd(fd) {}
    ~Mutex() override;

    // These with the wait lock held.
    bool IsSignalledFor(DWORD waiterThread) const override {
        return m_owner == 0 || m_owner == waiterThread;
    }
    bool OnWaitSatisfied(DWORD waiterThread) override;
    bool Release();
    // The owner ended without releasing it: free, and the next wait that
    // takes it learns so.
    void Abandon() {
        m_owner = 0;
        m_recursion = 0;
        m_abandoned = true;
        detail::NotifyWaitersOf(*this);
    }
    DWORD Owner() const { return m_owner; }
    const std::u16string& Name() const { return m_name; }

  private:
    std::u16string m_name;
    std::string m_path;
    int m_fd = -1;
    DWORD m_owner = 0;
    unsigned m_recursion = 0;
    bool m_abandoned = false;
};

// Mutexes that some thread owns, wait lock held to touch, so that a thread
// that ends can abandon what it still owns. Weak: closing the last handle of
// an owned mutex frees it.
std::vector<std::weak_ptr<Mutex>>& OwnedMutexes() {
    static auto* owned = new std::vector<std::weak_ptr<Mutex>>;  // outlives threads at exit
    return *owned;
}

bool Mutex::OnWaitSatisfied(DWORD waiterThread) {
    if (m_owner == waiterThread) {
        ++m_recursion;
        return false;
    }
    m_owner = waiterThread;
    m_recursion = 1;
    OwnedMutexes().push_back(weak_from_this());
    return std::exchange(m_abandoned, false);
}

bool Mutex::Release() {
    if (m_owner == 0 || m_owner != GetCurrentThreadId()) {
        return false;
    }
    if (--m_recursion == 0) {
        m_owner = 0;
        auto& owned = OwnedMutexes();
        std::erase_if(owned, [this](const std::weak_ptr<Mutex>& entry) {
            auto mutex = entry.lock();
            return !mutex || mutex.get() == this;
        });
    }
    return true;
}

// Abandons what the thread still owns when it ends. A thread made by
// CreateThread has done so already, before its handle was signalled.
class ThreadEndWatch {
  public:
    ThreadEndWatch() : m_threadId(GetCurrentThreadId()) {}
    ~ThreadEndWatch() {
        std::lock_guard lock(detail::WaitLock());
        detail::AbandonMutexesOf(m_threadId);
    }
    ThreadEndWatch(const ThreadEndWatch&) = delete;
    ThreadEndWatch& operator=(const ThreadEndWatch&) = delete;
    void Touch() {}

  private:
    const DWORD m_threadId;
};

thread_local ThreadEndWatch tThreadEndWatch;

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

namespace detail {

void AbandonMutexesOf(DWORD threadId) {
    // Collected first: abandoning hands a mutex to its next waiter, which
    // changes the list.
    std::vector<std::shared_ptr<Mutex>> abandoned;
    auto& owned = OwnedMutexes();
    for (auto it = owned.begin(); it != owned.end();) {
        auto mutex = it->lock();
        if (!mutex || mutex->Owner() == threadId) {
            if (mutex) {
                abandoned.push_back(std::move(mutex));
            }
            it = owned.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& mutex : abandoned) {
        mutex->Abandon();
    }
}

void WatchThreadEnd() {
    tThreadEndWatch.Touch();
}

}  // namespace detail

HANDLE CreateMutex(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
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
            mutex = std::make_shared<Mutex>(key, path, fd);
            gNames[key] = mutex;
        }
    }
    if (initialOwner && error != ERROR_ALREADY_EXISTS) {
        detail::WatchThreadEnd();
        std::lock_guard lock(detail::WaitLock());
        mutex->OnWaitSatisfied(GetCurrentThreadId());
    }
    HANDLE handle = detail::InsertHandle(mutex);
    SetLastError(error);
    return handle;
}

BOOL ReleaseMutex(HANDLE handle) {
    auto mutex = std::dynamic_pointer_cast<Mutex>(detail::LookupHandle(handle));
    if (!mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(detail::WaitLock());
    if (!mutex->Release()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    detail::NotifyWaitersOf(*mutex);
    return TRUE;
}

}  // namespace platform
