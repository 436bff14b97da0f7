#include "devices/rtlsdr_source.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "broadcast/iq_signal.h"

namespace devices {
namespace {

// The few entry points used, as the library declares them; declared here so
// that building needs no development package.
struct rtlsdr_dev;
using ReadCallback = void (*)(unsigned char* buffer, std::uint32_t length, void* context);
struct RtlSdrLibrary {
    std::uint32_t (*getDeviceCount)();
    const char* (*getDeviceName)(std::uint32_t index);
    int (*open)(rtlsdr_dev** device, std::uint32_t index);
    int (*close)(rtlsdr_dev* device);
    int (*setSampleRate)(rtlsdr_dev* device, std::uint32_t rate);
    int (*setCenterFreq)(rtlsdr_dev* device, std::uint32_t hertz);
    int (*setTunerGainMode)(rtlsdr_dev* device, int manual);
    int (*resetBuffer)(rtlsdr_dev* device);
    int (*readAsync)(rtlsdr_dev* device, ReadCallback callback, void* context,
                     std::uint32_t bufferCount, std::uint32_t bufferLength);
    int (*cancelAsync)(rtlsdr_dev* device);
};

constexpr const char* kLibraryName = "librtlsdr.so.0";
// What the dongle delivers beyond what the reader took is kept this long (in
// bytes: 2 per sample), then the oldest is dropped.
constexpr std::size_t kBufferBytes = 2 * kIqSampleRate / 2;
// After a retune the USB transfers already under way still hold the old
// frequency, and the PLL needs a few milliseconds: 50 ms of signal is dropped.
constexpr std::size_t kRetuneDropBytes = 2 * kIqSampleRate / 20;

class Library {
  public:
    Library() = default;
    ~Library() {
        if (m_handle != nullptr) {
            ::dlclose(m_handle);
        }
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool Load(std::string& error) {
        m_handle = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
        if (m_handle == nullptr) {
            const char* why = ::dlerror();
            error = std::string("rtlsdr: cannot load ") + kLibraryName +
                    " (is librtlsdr installed?): " + (why != nullptr ? why : "");
            return false;
        }
        return Bind(m_functions.getDeviceCount, "rtlsdr_get_device_count", error) &&
               Bind(m_functions.getDeviceName, "rtlsdr_get_device_name", error) &&
               Bind(m_functions.open, "rtlsdr_open", error) &&
               Bind(m_functions.close, "rtlsdr_close", error) &&
               Bind(m_functions.setSampleRate, "rtlsdr_set_sample_rate", error) &&
               Bind(m_functions.setCenterFreq, "rtlsdr_set_center_freq", error) &&
               Bind(m_functions.setTunerGainMode, "rtlsdr_set_tuner_gain_mode", error) &&
               Bind(m_functions.resetBuffer, "rtlsdr_reset_buffer", error) &&
               Bind(m_functions.readAsync, "rtlsdr_read_async", error) &&
               Bind(m_functions.cancelAsync, "rtlsdr_cancel_async", error);
    }
    const RtlSdrLibrary& Functions() const { return m_functions; }

  private:
    template <typename Function>
    bool Bind(Function& function, const char* name, std::string& error) {
        void* symbol = ::dlsym(m_handle, name);
        if (symbol == nullptr) {
            error = std::string("rtlsdr: ") + kLibraryName + " has no " + name;
            return false;
        }
        function = reinterpret_cast<Function>(symbol);
        return true;
    }

    void* m_handle = nullptr;
    RtlSdrLibrary m_functions{};
};

// The library's synchronous read waits without a time limit, so a dongle that
// stalls would hang the tuner. Instead a thread runs the asynchronous read,
// which can be cancelled, and Read waits for its bytes with a limit.
class RtlSdrSource : public IqSource {
  public:
    RtlSdrSource(std::unique_ptr<Library> library, rtlsdr_dev* device, std::uint32_t index,
                 std::string name)
        : m_library(std::move(library)),
          m_rtl(m_library->Functions()),
          m_device(device),
          m_index(index),
          m_name(std::move(name)),
          m_ring(kBufferBytes) {}

    ~RtlSdrSource() override {
        StopStreaming();
        m_rtl.close(m_device);
    }
    RtlSdrSource(const RtlSdrSource&) = delete;
    RtlSdrSource& operator=(const RtlSdrSource&) = delete;

    bool Tune(std::uint32_t frequencyKhz) override {
        if (frequencyKhz == 0 || frequencyKhz > UINT32_MAX / 1000) {
            m_error = std::to_string(frequencyKhz) + " kHz is out of range";
            return false;
        }
        m_frequencyKhz = frequencyKhz;
        if (m_rtl.setCenterFreq(m_device, frequencyKhz * 1000) != 0) {
            m_error = "the dongle refused " + std::to_string(frequencyKhz) + " kHz";
            return false;
        }
        {
            std::lock_guard lock(m_mutex);
            m_size = 0;
            m_drop = kRetuneDropBytes;
        }
        if (!m_streaming.joinable() || Ended()) {
            // First tune, or the dongle stopped (unplugged): start again.
            StopStreaming();
            m_rtl.resetBuffer(m_device);
            {
                std::lock_guard lock(m_mutex);
                m_ended = false;
            }
            m_streaming = std::thread([this] { Stream(); });
        }
        m_error.clear();
        return true;
    }

    std::size_t Read(std::span<std::complex<float>> out) override {
        if (!m_streaming.joinable()) {
            m_error = "not tuned";
            return 0;
        }
        std::size_t produced = 0;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kIqReadWaitMs);
        while (produced < out.size()) {
            const std::size_t want = std::min(2 * (out.size() - produced), m_ring.size() / 2);
            {
                std::unique_lock lock(m_mutex);
                if (!m_ready.wait_until(lock, deadline, [&] { return m_size >= 2 || m_ended; }) ||
                    m_size < 2) {
                    m_error = m_ended ? "the dongle stopped sending" : "no samples from the dongle";
                    break;
                }
                // Bytes always come in pairs, so m_size stays even.
                const std::size_t take = std::min(want, m_size);
                m_bytes.resize(take);
                const std::size_t first = std::min(take, m_ring.size() - m_start);
                std::copy_n(m_ring.begin() + static_cast<std::ptrdiff_t>(m_start), first,
                            m_bytes.begin());
                std::copy_n(m_ring.begin(), take - first,
                            m_bytes.begin() + static_cast<std::ptrdiff_t>(first));
                m_start = (m_start + take) % m_ring.size();
                m_size -= take;
            }
            produced +=
                broadcast::ReadSamples(m_bytes, broadcast::IqFormat::U8, out.subspan(produced));
        }
        if (produced == out.size()) {
            m_error.clear();
        }
        return produced;
    }

    std::string Describe() const override {
        std::string text = "rtlsdr:" + std::to_string(m_index) + " (" + m_name;
        if (m_frequencyKhz != 0) {
            text += ", " + std::to_string(m_frequencyKhz) + " kHz";
        }
        return text + ")";
    }

    std::string LastError() const override { return m_error; }

  private:
    bool Ended() {
        std::lock_guard lock(m_mutex);
        return m_ended;
    }

    void StopStreaming() {
        if (!m_streaming.joinable()) {
            return;
        }
        // A cancel that comes before the thread got into the read is lost,
        // so it is repeated until the read has returned.
        std::unique_lock lock(m_mutex);
        while (!m_ended) {
            lock.unlock();
            m_rtl.cancelAsync(m_device);
            lock.lock();
            m_ready.wait_for(lock, std::chrono::milliseconds(100), [this] { return m_ended; });
        }
        lock.unlock();
        m_streaming.join();
    }

    void Stream() {
        // Default buffer count and size: 15 transfers of 256 KiB.
        m_rtl.readAsync(m_device, &RtlSdrSource::Received, this, 0, 0);
        {
            std::lock_guard lock(m_mutex);
            m_ended = true;
        }
        m_ready.notify_all();
    }

    static void Received(unsigned char* buffer, std::uint32_t length, void* context) {
        static_cast<RtlSdrSource*>(context)->Keep(buffer, length & ~std::uint32_t{1});
    }

    void Keep(const unsigned char* buffer, std::size_t length) {
        {
            std::lock_guard lock(m_mutex);
            const std::size_t dropped = std::min(length, m_drop);
            m_drop -= dropped;
            buffer += dropped;
            length -= dropped;
            // A reader that fell behind loses the oldest signal, not the newest.
            if (length > m_ring.size()) {
                buffer += length - m_ring.size();
                length = m_ring.size();
            }
            const std::size_t overflow =
                m_size + length > m_ring.size() ? m_size + length - m_ring.size() : 0;
            m_start = (m_start + overflow) % m_ring.size();
            m_size -= overflow;
            std::size_t end = (m_start + m_size) % m_ring.size();
            for (std::size_t copied = 0; copied < length;) {
                const std::size_t piece = std::min(length - copied, m_ring.size() - end);
                std::copy_n(buffer + copied, piece,
                            m_ring.begin() + static_cast<std::ptrdiff_t>(end));
                copied += piece;
                end = (end + piece) % m_ring.size();
            }
            m_size += length;
        }
        m_ready.notify_one();
    }

    std::unique_ptr<Library> m_library;  // outlives every call below
    const RtlSdrLibrary& m_rtl;
    rtlsdr_dev* m_device;
    std::uint32_t m_index;
    std::string m_name;
    std::uint32_t m_frequencyKhz = 0;
    std::string m_error;
    std::vector<std::uint8_t> m_bytes;

    // Shared with the streaming thread.
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<std::uint8_t> m_ring;  // its size never changes
    std::size_t m_start = 0;
    std::size_t m_size = 0;
    std::size_t m_drop = 0;  // bytes still to drop after a retune
    bool m_ended = false;    // the asynchronous read returned

    std::thread m_streaming;  // last: stopped before the rest goes
};

}  // namespace

std::unique_ptr<IqSource> OpenRtlSdrSource(std::uint32_t index, std::string& error) {
    auto library = std::make_unique<Library>();
    if (!library->Load(error)) {
        return nullptr;
    }
    const RtlSdrLibrary& rtl = library->Functions();
    const std::uint32_t count = rtl.getDeviceCount();
    if (index >= count) {
        error = "rtlsdr:" + std::to_string(index) + ": no such dongle (" + std::to_string(count) +
                " found)";
        return nullptr;
    }
    const char* name = rtl.getDeviceName(index);
    rtlsdr_dev* device = nullptr;
    if (rtl.open(&device, index) < 0 || device == nullptr) {
        error =
            "rtlsdr:" + std::to_string(index) + ": cannot open the dongle (in use, or no access)";
        return nullptr;
    }
    if (rtl.setSampleRate(device, kIqSampleRate) < 0 || rtl.setTunerGainMode(device, 0) < 0) {
        rtl.close(device);
        error = "rtlsdr:" + std::to_string(index) + ": the dongle refused the sample rate or gain";
        return nullptr;
    }
    return std::make_unique<RtlSdrSource>(std::move(library), device, index,
                                          name != nullptr ? name : "");
}

}  // namespace devices
