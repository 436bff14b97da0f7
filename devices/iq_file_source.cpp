#include "devices/iq_file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "broadcast/iq_signal.h"
#include "devices/unique_fd.h"

namespace devices {
namespace {

// One read of the file asks for at most this much: large enough that a block
// of a few hundred milliseconds is one system call, small enough not to hold
// a second copy of a long recording.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

class IqFileSource : public IqSource {
  public:
    explicit IqFileSource(std::string folder) : m_folder(std::move(folder)) {}

    bool Tune(std::uint32_t frequencyKhz) override {
        // Opened afresh every time, so a recording replaced while playing is
        // picked up at the next tune and one removed stops being received.
        m_file.Reset();
        m_frequencyKhz = frequencyKhz;
        m_position = 0;
        m_usable = 0;
        const std::string stem = m_folder + "/" + std::to_string(frequencyKhz);
        const std::pair<std::string, broadcast::IqFormat> candidates[] = {
            {stem + ".iq", broadcast::IqFormat::U8},
            {stem + ".cf32.iq", broadcast::IqFormat::Cf32}};
        for (const auto& [path, format] : candidates) {
            if (!IsRegularFile(path)) {
                continue;
            }
            UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (!file) {
                m_error = path + ": " + std::strerror(errno);
                return false;
            }
            m_file = std::move(file);
            m_format = format;
            m_path = path;
            m_error.clear();
            RefreshSize();
            return true;
        }
        m_error = "no recording " + stem + ".iq or " + stem + ".cf32.iq";
        return false;
    }

    std::size_t Read(std::span<std::complex<float>> out) override {
        if (!m_file) {
            m_error = "not tuned to a recording";
            return 0;
        }
        const std::size_t bytesPerSample = broadcast::BytesPerSample(m_format);
        std::size_t produced = 0;
        int emptyReads = 0;
        while (produced < out.size()) {
            if (m_usable < bytesPerSample) {
                m_error = m_path + " holds no whole sample";
                break;
            }
            if (m_position >= m_usable) {
                // The loop, leaving out a partial trailing sample; a file
                // still being written plays on to its new end next time.
                m_position = 0;
                RefreshSize();
                continue;
            }
            const std::size_t want = std::min(
                {(out.size() - produced) * bytesPerSample, m_usable - m_position, kChunkBytes});
            m_bytes.resize(want);
            const ssize_t got =
                ::pread(m_file.Get(), m_bytes.data(), want, static_cast<off_t>(m_position));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                m_error = m_path + ": " + std::strerror(errno);
                break;
            }
            const std::size_t whole = static_cast<std::size_t>(got) / bytesPerSample;
            if (whole == 0) {
                // Shortened under us: play what is left of it from the start.
                RefreshSize();
                if (++emptyReads > 1) {
                    m_error = m_path + " ends early";
                    break;
                }
                continue;
            }
            emptyReads = 0;
            produced += broadcast::ReadSamples(std::span(m_bytes.data(), whole * bytesPerSample),
                                               m_format, out.subspan(produced));
            m_position += whole * bytesPerSample;
        }
        if (produced == out.size()) {
            m_error.clear();
        }
        return produced;
    }

    std::string Describe() const override {
        std::string text = "file:" + m_folder;
        if (m_file) {
            text += " (" + std::to_string(m_frequencyKhz) + " kHz from " + m_path + ", " +
                    (m_format == broadcast::IqFormat::U8 ? "u8" : "cf32") + ")";
        }
        return text;
    }

    std::string LastError() const override { return m_error; }

  private:
    void RefreshSize() {
        struct stat info {};
        const std::size_t size = ::fstat(m_file.Get(), &info) == 0 && info.st_size > 0
                                     ? static_cast<std::size_t>(info.st_size)
                                     : 0;
        const std::size_t bytesPerSample = broadcast::BytesPerSample(m_format);
        m_usable = size - size % bytesPerSample;
        if (m_position >= m_usable) {
            m_position = 0;
        }
    }

    std::string m_folder;
    UniqueFd m_file;
    std::string m_path;
    broadcast::IqFormat m_format = broadcast::IqFormat::U8;
    std::uint32_t m_frequencyKhz = 0;
    std::size_t m_usable = 0;    // the file's size in whole samples, in bytes
    std::size_t m_position = 0;  // next byte to read, at a sample boundary
    std::vector<std::uint8_t> m_bytes;
    std::string m_error;
};

}  // namespace

std::unique_ptr<IqSource> OpenIqFileSource(const std::string& folder, std::string& error) {
    struct stat info {};
    if (folder.empty()) {
        error = "file: needs a folder";
        return nullptr;
    }
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = "file:" + folder + " is not a folder";
        return nullptr;
    }
    return std::make_unique<IqFileSource>(folder);
}

}  // namespace devices
