// Runs the two decoder libraries as the service does (same calls, same order)
// on a private device root, with an event callback that records every event
// together with the file it announces, as the file was at that moment.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "broadcast/tpeg_application.h"
#include "decoders/decoder_counters.h"
#include "decoders/tpeg_settings.h"
#include "platform/registry.h"
#include "tests/support/msc_stream.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"
#include "tpeg/decoder_library.h"

namespace testsupport {

struct RecordedEvent {
    std::uintptr_t window = 0;
    std::uint32_t code = 0;
    std::uintptr_t parameter = 0;
    Bytes file;
    std::u16string folder;
};

class DecoderHarness {
  public:
    static constexpr std::uintptr_t kWindow = 0x5A5A;
    static constexpr std::uint32_t kServiceConfig[3] = {0x20000, 0x4000, 1};

    DecoderHarness() : m_env("DMBTPEG_ROOT", m_root.Path()) {
        s_current.store(this);
        // Every change written at once, as most tests count on; those of the interval set it.
        SetTpegSetting(decoders::kTpegSettingsKey, decoders::kWriteIntervalValue, 0);
    }
    ~DecoderHarness() {
        StopTpegDecoder();
        StopTDCDecode();
        UninitTpegLibrary();
        UninitTDC();
        s_current.store(nullptr);
    }
    DecoderHarness(const DecoderHarness&) = delete;
    DecoderHarness& operator=(const DecoderHarness&) = delete;

    // InitDecoders of the service, with the selection and flag given; true when all held.
    bool Init(const std::uint32_t* config = kServiceConfig, std::uint32_t mask = 0x7FFF,
              std::int32_t poiOps = 1) {
        if (InitTDC(config) == 0 || InitTpegLibrary(kWindow) != 0 ||
            RegisterEventHandler(&Callback) != 0 || SetLogLevel(0) != 0) {
            return false;
        }
        if (GetTSP() != 0 && SetTSP(0) != 0) {
            return false;
        }
        if (SetTransferDataPath(u"\\TPEGDATA") != 0) {
            return false;
        }
        SetSelectParser(mask);
        SetPoiOpsFlag(poiOps);
        const std::uintptr_t queue = GetTpegQueue();
        return queue != 0 && SetTDCQueue(queue) == 0;
    }

    bool Start() {
        const std::int32_t state = GetTDCState();
        return StartTpegDecoder() == 0 && (state == 1 || state == 2) && StartTDCDecode() > 0;
    }

    bool InitAndStart() { return Init() && Start(); }

    // A setting of the TPEG library in the root's registry, read by the next Init.
    static void SetTpegSetting(std::u16string_view key, std::u16string_view name,
                               std::u16string_view text) {
        const std::u16string value(text);
        SetValue(key, name, platform::REG_SZ, value.c_str(),
                 static_cast<platform::DWORD>((value.size() + 1) * sizeof(char16_t)));
    }
    static void SetTpegSetting(std::u16string_view key, std::u16string_view name,
                               platform::DWORD number) {
        SetValue(key, name, platform::REG_DWORD, &number, sizeof number);
    }

    void Feed(const std::vector<Bytes>& blocks, std::uintptr_t subChannel = 3) {
        for (const Bytes& block : blocks) {
            FillMSCData(reinterpret_cast<std::uintptr_t>(block.data()), block.size(), subChannel,
                        m_frame++);
        }
    }
    void SkipFrames(std::uintptr_t count) { m_frame += count; }

    static TdcCounters Tdc() {
        TdcCounters counters{};
        GetTDCCounters(&counters);
        return counters;
    }
    static TpegCounters Tpeg() {
        TpegCounters counters{};
        GetTpegCounters(&counters);
        return counters;
    }

    // Waits until the TPEG side has decoded everything the TDC side queued and made the
    // files and events it led to (those an unacknowledged event holds back excepted).
    static bool WaitForIdle() {
        return WaitUntil([] { return Tpeg().bytes == Tdc().queuedBytes; });
    }
    bool WaitForEvents(std::size_t count) {
        return WaitUntil([&] { return Events().size() >= count; });
    }

    void SetAcknowledge(bool acknowledge) { m_acknowledge.store(acknowledge); }

    std::vector<RecordedEvent> Events() {
        std::lock_guard lock(m_lock);
        return m_events;
    }
    std::vector<std::uint32_t> Codes() {
        std::vector<std::uint32_t> codes;
        for (const RecordedEvent& event : Events()) {
            codes.push_back(event.code);
        }
        return codes;
    }

    std::filesystem::path DataFolder() const {
        return std::filesystem::path(m_root.Path()) / "TPEGDATA";
    }
    Bytes ReadFile(std::string_view name) const {
        std::ifstream in(DataFolder() / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::size_t FileCount() const {
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(DataFolder()),
                          std::filesystem::directory_iterator()));
    }

  private:
    static void SetValue(std::u16string_view key, std::u16string_view name, platform::DWORD type,
                         const void* data, platform::DWORD size) {
        const std::u16string keyName(key);
        const std::u16string valueName(name);
        platform::HKEY handle = nullptr;
        ASSERT_EQ(platform::RegCreateKeyEx(platform::HKEY_LOCAL_MACHINE, keyName.c_str(), 0,
                                           nullptr, platform::REG_OPTION_NON_VOLATILE,
                                           platform::KEY_ALL_ACCESS, nullptr, &handle, nullptr),
                  platform::ERROR_SUCCESS);
        EXPECT_EQ(platform::RegSetValueEx(handle, valueName.c_str(), 0, type,
                                          static_cast<const platform::BYTE*>(data), size),
                  platform::ERROR_SUCCESS);
        platform::RegCloseKey(handle);
    }

    static std::intptr_t Callback(std::uintptr_t window, std::uint32_t code,
                                  std::uintptr_t parameter) {
        DecoderHarness* self = s_current.load();
        RecordedEvent event{window, code, parameter, {}, {}};
        if (const char16_t* folder = GetTransferDataPath()) {
            event.folder = folder;
        }
        if (const auto* app =
                broadcast::FindApplicationByEventCode(static_cast<std::uint16_t>(code))) {
            event.file = self->ReadFile(app->fileName);
        }
        {
            std::lock_guard lock(self->m_lock);
            self->m_events.push_back(std::move(event));
        }
        if (self->m_acknowledge.load()) {
            EXPECT_EQ(TTBEventComplete(parameter, code), 0);
        }
        return 1;
    }

    inline static std::atomic<DecoderHarness*> s_current{nullptr};

    TempDir m_root;
    ScopedEnv m_env;
    std::uintptr_t m_frame = 0;
    std::atomic<bool> m_acknowledge{true};
    std::mutex m_lock;
    std::vector<RecordedEvent> m_events;
};

}  // namespace testsupport
