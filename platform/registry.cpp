#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/device_fs.h"
#include "platform/kernel_object.h"
#include "platform/log.h"
#include "platform/registry_hive.h"
#include "platform/text.h"

namespace platform {

const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000});
const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});

namespace {

static_assert(REG_DWORD == kHiveValueDword && REG_SZ == kHiveValueString);

// Hives are a few kilobytes; anything far larger is damage, not data.
constexpr off_t kMaxHiveBytes = 16 * 1024 * 1024;

// Next to each hive, the text of its last successful save.
constexpr const char* kGoodCopySuffix = ".good";

enum class HiveId { kClassesRoot, kLocalMachine };

struct KeyRef {
    HiveId hive;
    std::u16string path;
};

class RegistryKey final : public detail::KernelObject {
  public:
    explicit RegistryKey(KeyRef ref) : m_ref(std::move(ref)) {}
    bool IsSignalledFor(DWORD) const override { return false; }
    const KeyRef& Ref() const { return m_ref; }

  private:
    KeyRef m_ref;
};

std::optional<KeyRef> Resolve(HKEY key) {
    if (key == HKEY_CLASSES_ROOT) {
        return KeyRef{HiveId::kClassesRoot, u""};
    }
    if (key == HKEY_LOCAL_MACHINE) {
        return KeyRef{HiveId::kLocalMachine, u""};
    }
    auto object = detail::LookupHandleAs<RegistryKey>(reinterpret_cast<HANDLE>(key));
    if (!object) {
        return std::nullopt;
    }
    return object->Ref();
}

HKEY NewKeyHandle(KeyRef ref) {
    return reinterpret_cast<HKEY>(
        detail::InsertHandle(std::make_shared<RegistryKey>(std::move(ref))));
}

// The full path of `subKey` below `base`; nullopt when a name is too long or
// the result too deep.
std::optional<std::u16string> JoinPath(std::u16string_view base, std::u16string_view subKey) {
    std::u16string joined(base);
    joined += u'\\';
    joined += subKey;
    auto parts = SplitKeyPath(joined);
    if (!parts) {
        return std::nullopt;
    }
    std::u16string path;
    for (const auto& part : *parts) {
        if (!path.empty()) {
            path += u'\\';
        }
        path += part;
    }
    return path;
}

bool MakeDirs(const std::string& path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            std::string part = path.substr(0, pos);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                return false;
            }
        }
    }
    return true;
}

std::string Timestamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[48];
    std::size_t n = std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%09ldZ", static_cast<long>(now.tv_nsec));
    return text;
}

// One call's view of a hive file: the lock, held for the session's life, and
// the hive as read under it. A change session may save.
class HiveSession {
  public:
    HiveSession(HiveId id, bool change) : m_exclusive(change) {
        std::string folder = DeviceRoot() + "/.registry";
        m_path = folder + (id == HiveId::kClassesRoot ? "/HKCR.hive" : "/HKLM.hive");
        struct stat st {};
        if (!change && ::stat(folder.c_str(), &st) != 0 && errno == ENOENT) {
            return;
        }
        if (change && !MakeDirs(folder)) {
            m_status = static_cast<LONG>(ErrorFromErrno(errno));
            return;
        }
        std::string lockPath = m_path + ".lock";
        m_lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_lockFd < 0) {
            m_lockFd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (m_lockFd < 0) {
            if (change) {
                m_status = static_cast<LONG>(ErrorFromErrno(errno));
                return;
            }
            // Readers can do without: hives are only ever replaced whole.
        } else {
            Lock(change ? LOCK_EX : LOCK_SH);
        }
        m_status = Load();
    }
    ~HiveSession() {
        if (m_lockFd >= 0) {
            ::close(m_lockFd);
        }
    }
    HiveSession(const HiveSession&) = delete;
    HiveSession& operator=(const HiveSession&) = delete;

    LONG Status() const { return m_status; }
    Hive& Data() { return m_hive; }

    LONG Save() {
        DWORD savedError = GetLastError();
        LONG result = ERROR_SUCCESS;
        const std::string text = SerializeHive(m_hive);
        if (!WriteHostFileAtomically(m_path, text)) {
            result = static_cast<LONG>(GetLastError());
            DebugOutput(FromUtf8("dmbtpeg: cannot save registry hive " + m_path + "\n"));
        } else if (!WriteHostFileAtomically(GoodCopyPath(), text)) {
            // The change itself is saved; only the fallback lags behind.
            DebugOutput(FromUtf8("dmbtpeg: cannot keep the last good copy of registry hive " +
                                 m_path + "\n"));
        }
        SetLastError(savedError);
        return result;
    }

  private:
    struct HiveFile {
        enum State { kMissing, kUnopenable, kDamaged, kGood } state = kMissing;
        std::optional<Hive> hive;    // when kGood
        std::string problem;         // when kDamaged
        LONG error = ERROR_SUCCESS;  // when kUnopenable
    };

    std::string GoodCopyPath() const { return m_path + kGoodCopySuffix; }

    void Lock(int operation) {
        while (::flock(m_lockFd, operation) != 0 && errno == EINTR) {
        }
    }

    LONG Load() {
        HiveFile file = ReadHiveFile(m_path);
        switch (file.state) {
            case HiveFile::kGood:
                m_hive = std::move(*file.hive);
                return ERROR_SUCCESS;
            case HiveFile::kMissing:
                return ERROR_SUCCESS;
            case HiveFile::kUnopenable:
                return file.error;
            case HiveFile::kDamaged:
                break;
        }
        if (!m_exclusive && m_lockFd >= 0) {
            // Falling back is a change; another process may also have
            // replaced the file meanwhile, so look again under the exclusive lock.
            Lock(LOCK_EX);
            m_exclusive = true;
            return Load();
        }
        FallBack(file.problem);
        return ERROR_SUCCESS;
    }

    static HiveFile ReadHiveFile(const std::string& path) {
        HiveFile file;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT) {
                file.state = HiveFile::kUnopenable;
                file.error = static_cast<LONG>(ErrorFromErrno(errno));
            }
            return file;
        }
        std::string text;
        std::string problem;
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            problem = "cannot be examined";
        } else if (st.st_size > kMaxHiveBytes) {
            problem = "larger than " + std::to_string(kMaxHiveBytes) + " bytes";
        } else {
            char buffer[8192];
            for (;;) {
                ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0 || text.size() > static_cast<std::size_t>(kMaxHiveBytes)) {
                    if (n < 0) {
                        problem = "cannot be read";
                    }
                    break;
                }
                text.append(buffer, static_cast<std::size_t>(n));
            }
        }
        ::close(fd);
        if (problem.empty()) {
            HiveParseResult parsed = ParseHive(text);
            if (parsed.hive) {
                file.state = HiveFile::kGood;
                file.hive = std::move(parsed.hive);
                return file;
            }
            problem = "line " + std::to_string(parsed.line) + ": " + parsed.error;
        }
        file.state = HiveFile::kDamaged;
        file.problem = std::move(problem);
        return file;
    }

    // The hive file is damaged: it is kept aside for a look later, and the
    // hive goes on from its last good copy, or empty when there is none. One
    // line tells which.
    void FallBack(const std::string& problem) {
        const DWORD savedError = GetLastError();
        const std::string aside = m_path + ".corrupt-" + Timestamp();
        std::string line = "dmbtpeg: registry hive " + m_path + " is corrupt (" + problem + "); ";
        HiveFile good = ReadHiveFile(GoodCopyPath());
        if (good.state == HiveFile::kGood) {
            // A second name for the damaged file, then the good copy put in
            // its place atomically: at no moment is the hive file missing,
            // which would read as an empty hive.
            if (::link(m_path.c_str(), aside.c_str()) == 0) {
                line += "set aside as " + aside + ", ";
            } else {
                line += "cannot set it aside (" + std::string(std::strerror(errno)) + "), ";
            }
            line += "going on from its last good copy " + GoodCopyPath();
            if (!WriteHostFileAtomically(m_path, SerializeHive(*good.hive))) {
                line += " (cannot write it back: error " + std::to_string(GetLastError()) + ")";
            }
            m_hive = std::move(*good.hive);
        } else {
            if (::rename(m_path.c_str(), aside.c_str()) == 0) {
                line += "set aside as " + aside + ", starting with an empty hive";
            } else {
                line += "cannot set it aside (" + std::string(std::strerror(errno)) +
                        "), reading it as empty";
            }
            switch (good.state) {
                case HiveFile::kMissing:
                    line += " (no good copy)";
                    break;
                case HiveFile::kUnopenable:
                    line += " (its good copy cannot be opened)";
                    break;
                default:
                    line += " (its good copy is corrupt too: " + good.problem + ")";
                    break;
            }
            m_hive = Hive();
        }
        DebugOutput(FromUtf8(line + "\n"));
        SetLastError(savedError);
    }

    std::string m_path;
    int m_lockFd = -1;
    bool m_exclusive;
    Hive m_hive;
    LONG m_status = ERROR_SUCCESS;
};

std::u16string_view NameOf(LPCWSTR valueName) {
    return valueName ? std::u16string_view(valueName) : std::u16string_view();
}

// One call on an open key: the key itself, the full path of the subkey the
// call names below it, and the hive as read under its lock.
struct KeyCall {
    KeyRef base;
    std::u16string path;
    std::optional<HiveSession> view;

    Hive& Data() { return view->Data(); }
};

// Resolves `key` and `subKey` and reads the hive, for reading or changing.
// ERROR_SUCCESS when all of that worked and `key` still exists.
LONG BeginCall(HKEY key, std::u16string_view subKey, bool change, KeyCall& call) {
    auto base = Resolve(key);
    if (!base) {
        return ERROR_INVALID_HANDLE;
    }
    auto path = JoinPath(base->path, subKey);
    if (!path) {
        return ERROR_INVALID_PARAMETER;
    }
    call.base = std::move(*base);
    call.path = std::move(*path);
    call.view.emplace(call.base.hive, change);
    if (call.view->Status() != ERROR_SUCCESS) {
        return call.view->Status();
    }
    return call.Data().Find(call.base.path) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

std::optional<HiveValue> ReadValue(HKEY root, std::u16string_view subKey,
                                   std::u16string_view valueName) {
    KeyCall call;
    if (valueName.find(u'\0') != std::u16string_view::npos ||
        BeginCall(root, subKey, false, call) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const HiveKey* key = call.Data().Find(call.path);
    const HiveValue* value = key ? key->FindValue(valueName) : nullptr;
    return value ? std::optional(*value) : std::nullopt;
}

}  // namespace

LONG RegCreateKeyEx(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                    HKEY* result, DWORD* disposition) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    KeyCall call;
    if (LONG begun = BeginCall(key, NameOf(subKey), true, call); begun != ERROR_SUCCESS) {
        return begun;
    }
    const bool created = !call.Data().Find(call.path);
    if (created) {
        call.Data().Create(call.path);
        if (LONG saved = call.view->Save(); saved != ERROR_SUCCESS) {
            return saved;
        }
    }
    *result = NewKeyHandle({call.base.hive, std::move(call.path)});
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

LONG RegOpenKeyEx(HKEY key, LPCWSTR subKey, DWORD, REGSAM, HKEY* result) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    KeyCall call;
    if (LONG begun = BeginCall(key, NameOf(subKey), false, call); begun != ERROR_SUCCESS) {
        return begun;
    }
    if (!call.Data().Find(call.path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    *result = NewKeyHandle({call.base.hive, std::move(call.path)});
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_CLASSES_ROOT || key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    auto handle = reinterpret_cast<HANDLE>(key);
    if (!detail::LookupHandleAs<RegistryKey>(handle)) {
        return ERROR_INVALID_HANDLE;
    }
    DWORD savedError = GetLastError();
    BOOL closed = CloseHandle(handle);
    SetLastError(savedError);
    return closed ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegSetValueEx(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD size) {
    if (!Resolve(key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (data == nullptr && size != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    HiveValue value;
    value.name = NameOf(valueName);
    value.type = type;
    if (type == REG_DWORD) {
        if (size != sizeof(DWORD)) {
            return ERROR_INVALID_PARAMETER;
        }
        std::memcpy(&value.number, data, sizeof(DWORD));
    } else if (type == REG_SZ) {
        value.text.resize(size / sizeof(char16_t));
        if (!value.text.empty()) {
            std::memcpy(value.text.data(), data, value.text.size() * sizeof(char16_t));
        }
        value.text.resize(std::min(value.text.size(), value.text.find(u'\0')));
    } else {
        return ERROR_NOT_SUPPORTED;
    }

    KeyCall call;
    if (LONG begun = BeginCall(key, u"", true, call); begun != ERROR_SUCCESS) {
        return begun;
    }
    HiveKey* target = call.Data().Find(call.path);
    if (HiveValue* existing = target->FindValue(value.name)) {
        existing->type = value.type;
        existing->number = value.number;
        existing->text = std::move(value.text);
    } else {
        target->values.push_back(std::move(value));
    }
    return call.view->Save();
}

LONG RegDeleteTree(HKEY key, LPCWSTR subKey) {
    KeyCall call;
    if (LONG begun = BeginCall(key, NameOf(subKey), true, call); begun != ERROR_SUCCESS) {
        return begun;
    }
    if (!call.Data().Find(call.path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (call.path == call.base.path) {
        call.Data().Empty(call.path);
    } else {
        call.Data().DeleteTree(call.path);
    }
    return call.view->Save();
}

std::optional<DWORD> RegGetDword(HKEY root, std::u16string_view subKey,
                                 std::u16string_view valueName) {
    auto value = ReadValue(root, subKey, valueName);
    if (!value || value->type != REG_DWORD) {
        return std::nullopt;
    }
    return value->number;
}

std::optional<std::u16string> RegGetString(HKEY root, std::u16string_view subKey,
                                           std::u16string_view valueName) {
    auto value = ReadValue(root, subKey, valueName);
    if (!value || value->type != REG_SZ) {
        return std::nullopt;
    }
    return value->text;
}

}  // namespace platform
