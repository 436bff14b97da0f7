#include "platform/registered_message_table.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

#include "platform/bus_log.h"
#include "platform/bus_names.h"
#include "platform/runtime_dir.h"
#include "platform/service_protocol.h"
#include "platform/text.h"
#include "platform/window_messages.h"

namespace platform {
namespace {

constexpr char kFileName[] = "registered-messages";
constexpr std::size_t kMaxNameLength = 255;
// A full table of the longest names is far below this; anything bigger is
// not a table.
constexpr off_t kMaxUnreadBytes = 64 << 20;
constexpr UINT kNumberCount = kLastRegisteredMessage - kFirstRegisteredMessage + 1;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// This system's own names, first in every new table: a program that brings a
// name sharing one of their hash numbers can never take it from them, and the
// numbers the documentation gives stay right.
constexpr const auto& kSystemNames = kProtocolMessageNames;

std::u16string Fold(std::u16string_view name) {
    std::u16string key(name);
    for (char16_t& c : key) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return key;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string Line(UINT number, std::u16string_view name) {
    std::string line = fmt::format("0x{:04X} ", number);
    for (unsigned char c : ToUtf8(name)) {
        if (c < 0x20 || c == '%') {
            line += '%';
            line += kHexDigits[c >> 4];
            line += kHexDigits[c & 0xF];
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '\n';
    return line;
}

struct Entry {
    UINT number = 0;
    std::u16string name;
};

// Anything but a well-formed line gives nothing, whoever wrote it.
std::optional<Entry> ParseLine(std::string_view line) {
    if (line.size() < 8 || line[0] != '0' || line[1] != 'x' || line[6] != ' ') {
        return std::nullopt;
    }
    UINT number = 0;
    for (char c : line.substr(2, 4)) {
        int digit = HexValue(c);
        if (digit < 0) {
            return std::nullopt;
        }
        number = number * 16 + static_cast<UINT>(digit);
    }
    std::string bytes;
    for (std::size_t i = 7; i < line.size(); ++i) {
        if (line[i] != '%') {
            bytes += line[i];
            continue;
        }
        if (i + 2 >= line.size() || HexValue(line[i + 1]) < 0 || HexValue(line[i + 2]) < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
        i += 2;
    }
    Entry entry{number, FromUtf8(bytes)};
    if (number < kFirstRegisteredMessage || entry.name.empty() ||
        entry.name.size() > kMaxNameLength || entry.name.find(u'\0') != std::u16string::npos) {
        return std::nullopt;
    }
    return entry;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

// Closing the descriptor also drops the flock.
struct RegisteredMessageTable::Fd {
    int value = -1;
    ~Fd() {
        if (value >= 0) {
            ::close(value);
        }
    }
};

std::string RegisteredMessageTable::DefaultPath() {
    return RuntimeDir() + "/" + kFileName;
}

void RegisteredMessageTable::Open(std::string path) {
    std::lock_guard lock(m_mutex);
    if (path != m_path) {
        m_path = std::move(path);
        Forget();
    }
}

void RegisteredMessageTable::Forget() {
    m_numbers.clear();
    m_taken.reset();
    m_device = 0;
    m_inode = 0;
    m_readUpTo = 0;
    m_tornTail = false;
}

std::optional<UINT> RegisteredMessageTable::Register(std::u16string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) {
        return std::nullopt;
    }
    std::lock_guard lock(m_mutex);
    if (m_path.empty()) {
        return std::nullopt;
    }
    // As the file will hold it: a lone surrogate becomes U+FFFD.
    const std::u16string stored = FromUtf8(ToUtf8(name));
    const std::u16string key = Fold(stored);
    // A number, once in the file, is the name's for good.
    if (auto it = m_numbers.find(key); it != m_numbers.end()) {
        return it->second;
    }
    Fd fd;
    fd.value = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd.value < 0 && errno == ENOENT) {
        const std::string folder = m_path.substr(0, m_path.rfind('/'));
        if (!folder.empty() && MakeRuntimeDirs(folder)) {
            fd.value = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        }
    }
    int locked = -1;
    if (fd.value >= 0) {
        while ((locked = ::flock(fd.value, LOCK_EX)) != 0 && errno == EINTR) {
        }
    }
    if (locked != 0 || !CatchUp(fd.value)) {
        BusLog(fmt::format("registered messages: cannot use {}: {}", m_path,
                           std::strerror(errno != 0 ? errno : EINVAL)));
        return std::nullopt;
    }
    if (m_tornTail && (!WriteAll(fd.value, "\n") || !CatchUp(fd.value))) {
        return std::nullopt;
    }
    if (m_readUpTo == 0) {
        for (std::u16string_view system : kSystemNames) {
            if (!Append(fd.value, FreeNumber(system), system)) {
                return std::nullopt;
            }
        }
    }
    if (auto it = m_numbers.find(key); it != m_numbers.end()) {
        return it->second;
    }
    UINT number = FreeNumber(stored);
    if (number == 0) {
        return 0;
    }
    if (!Append(fd.value, number, stored)) {
        return std::nullopt;
    }
    auto it = m_numbers.find(key);
    return it != m_numbers.end() ? std::optional<UINT>(it->second) : std::nullopt;
}

bool RegisteredMessageTable::Append(int fd, UINT number, std::u16string_view name) {
    // Read back rather than recorded directly, so this process takes the
    // file exactly as every other reader does.
    return WriteAll(fd, Line(number, name)) && CatchUp(fd);
}

bool RegisteredMessageTable::CatchUp(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return false;
    }
    if (info.st_dev != m_device || info.st_ino != m_inode || info.st_size < m_readUpTo) {
        Forget();
        m_device = info.st_dev;
        m_inode = info.st_ino;
    }
    if (info.st_size - m_readUpTo > kMaxUnreadBytes) {
        errno = EFBIG;
        return false;
    }
    std::string text(static_cast<std::size_t>(info.st_size - m_readUpTo), '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        ssize_t got = ::pread(fd, text.data() + filled, text.size() - filled,
                              m_readUpTo + static_cast<off_t>(filled));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         start = end + 1, end = text.find('\n', start)) {
        auto entry = ParseLine(std::string_view(text).substr(start, end - start));
        if (!entry || m_taken.test(entry->number - kFirstRegisteredMessage)) {
            continue;
        }
        if (m_numbers.try_emplace(Fold(entry->name), entry->number).second) {
            m_taken.set(entry->number - kFirstRegisteredMessage);
        }
    }
    m_readUpTo += static_cast<off_t>(start);
    m_tornTail = start < text.size();
    return true;
}

UINT RegisteredMessageTable::FreeNumber(std::u16string_view name) const {
    const UINT first = RegisteredMessageNumber(name) - kFirstRegisteredMessage;
    for (UINT step = 0; step < kNumberCount; ++step) {
        const UINT slot = (first + step) % kNumberCount;
        if (!m_taken.test(slot)) {
            return kFirstRegisteredMessage + slot;
        }
    }
    return 0;
}

}  // namespace platform
