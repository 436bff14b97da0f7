#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "broadcast/crc.h"
#include "broadcast/tpeg_application.h"
#include "decoders/decoder_counters.h"
#include "decoders/tpeg_queue.h"
#include "decoders/tpeg_settings.h"
#include "platform/registry.h"
#include "tests/support/msc_stream.h"
#include "tpeg/decoder_library.h"

namespace {

using testsupport::Bytes;

constexpr std::size_t kSetBytes = 2000;
// Rounds of the carousel per iteration of BM_UnchangedCarousel: together well below the TPEG
// queue's 128 kB, so a burst fed at once is never dropped.
constexpr std::size_t kUnchangedRounds = 3;
// Versions taking turns: each a step forwards from the one before (85 of 256), also from the
// last back to the first, so every turn is a newer version.
constexpr std::uint8_t kVersions[3] = {1, 86, 171};
// The last application of a round: its set marks the end of an iteration.
constexpr std::size_t kLastApp = broadcast::kTpegApplicationCount - 1;

Bytes Content(std::size_t app, std::uint8_t revision) {
    Bytes content(kSetBytes);
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<std::uint8_t>(app * 17 + revision * 3 + i);
    }
    return content;
}

// One round of the carousel: the SNI, then every application's 2 kB of messages (ten of 200
// bytes, one component frame). revisions[app] is their version and chooses their content.
void AddRound(testsupport::MscStream& stream, const std::vector<std::uint8_t>& revisions) {
    stream.Add(testsupport::SniFrame());
    for (std::size_t app = 0; app < broadcast::kTpegApplicationCount; ++app) {
        stream.AddAll(
            testsupport::MessageFrames(app, revisions[app], Content(app, revisions[app])));
    }
}

// The blocks of a stream, followed by blocks of padding packets: on air the sub-channel
// keeps delivering a block every 24 ms, padding when there is nothing to send, and the TDC
// library wakes the TPEG library's thread after a number of blocks rather than at every
// data group. Without them the last sets of an iteration would wait for the TPEG thread to
// look again by itself.
std::vector<Bytes> OnAir(const testsupport::MscStream& stream) {
    std::vector<Bytes> blocks = stream.Blocks();
    Bytes padding;
    while (padding.size() < blocks.front().size()) {
        broadcast::AppendPaddingPacket(broadcast::kMinPacketSize, padding);
    }
    blocks.insert(blocks.end(), decoders::TpegQueue::kWakeBlocks, padding);
    return blocks;
}

// A minute-like broadcast: one round in which every set has the given revision, as 24 ms
// blocks of a 64 kbit/s sub-channel.
std::vector<Bytes> Broadcast(std::uint8_t revision) {
    testsupport::MscStream stream;
    AddRound(stream, std::vector<std::uint8_t>(broadcast::kTpegApplicationCount, revision));
    return OnAir(stream);
}

// kUnchangedRounds rounds in which nine sets never change and the last application's set
// keeps the previous iteration's content until the last round brings `revision`: one file
// per iteration, written when the iteration's last set completes.
std::vector<Bytes> UnchangedRounds(std::uint8_t revision, std::uint8_t previous) {
    testsupport::MscStream stream;
    std::vector<std::uint8_t> revisions(broadcast::kTpegApplicationCount, 0);
    for (std::size_t round = 0; round < kUnchangedRounds; ++round) {
        revisions[kLastApp] = round + 1 == kUnchangedRounds ? revision : previous;
        AddRound(stream, revisions);
    }
    return OnAir(stream);
}

std::size_t TotalBytes(const std::vector<Bytes>& blocks) {
    std::size_t total = 0;
    for (const Bytes& block : blocks) {
        total += block.size();
    }
    return total;
}

TdcCounters Tdc() {
    TdcCounters counters{};
    GetTDCCounters(&counters);
    return counters;
}

TpegCounters Tpeg() {
    TpegCounters counters{};
    GetTpegCounters(&counters);
    return counters;
}

// Events raised by the TPEG library, counted by its callback; the benchmark thread blocks
// until the count it needs is reached.
class EventCount {
  public:
    static std::intptr_t Callback(std::uintptr_t, std::uint32_t code, std::uintptr_t parameter) {
        TTBEventComplete(parameter, code);
        {
            std::lock_guard lock(s_lock);
            ++s_count;
        }
        s_changed.notify_one();
        return 1;
    }
    static std::uint64_t Now() {
        std::lock_guard lock(s_lock);
        return s_count;
    }
    // False when the count was not reached within ten seconds (data lost).
    static bool WaitFor(std::uint64_t count) {
        std::unique_lock lock(s_lock);
        return s_changed.wait_for(lock, std::chrono::seconds(10), [&] { return s_count >= count; });
    }

  private:
    static inline std::mutex s_lock;
    static inline std::condition_variable s_changed;
    static inline std::uint64_t s_count = 0;
};

// Both libraries decoding into a data folder on tmpfs, for the length of one benchmark.
class Decoders {
  public:
    Decoders() {
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                               ? "/dev/shm"
                                               : std::filesystem::temp_directory_path();
        m_root = (base / "dmbtpeg-bench-XXXXXX").string();
        if (::mkdtemp(m_root.data()) == nullptr) {
            m_root.clear();
            return;
        }
        ::setenv("DMBTPEG_ROOT", m_root.c_str(), 1);
        // Decoding speed, not the write interval: every change is written at once.
        const std::u16string key(decoders::kTpegSettingsKey);
        const std::u16string name(decoders::kWriteIntervalValue);
        const platform::DWORD noInterval = 0;
        platform::HKEY settings = nullptr;
        platform::RegCreateKeyEx(platform::HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr,
                                 platform::REG_OPTION_NON_VOLATILE, platform::KEY_ALL_ACCESS,
                                 nullptr, &settings, nullptr);
        platform::RegSetValueEx(settings, name.c_str(), 0, platform::REG_DWORD,
                                reinterpret_cast<const platform::BYTE*>(&noInterval),
                                sizeof noInterval);
        platform::RegCloseKey(settings);
        const std::uint32_t config[3] = {0x20000, 0x4000, 1};
        InitTDC(config);
        InitTpegLibrary(1);
        RegisterEventHandler(&EventCount::Callback);
        SetTransferDataPath(u"\\TPEGDATA");
        SetSelectParser(0x7FFF);
        SetPoiOpsFlag(1);
        SetTDCQueue(GetTpegQueue());
        StartTpegDecoder();
        StartTDCDecode();
    }
    ~Decoders() {
        StopTpegDecoder();
        StopTDCDecode();
        UninitTpegLibrary();
        UninitTDC();
        if (!m_root.empty()) {
            std::filesystem::remove_all(m_root);
        }
    }
    bool Ready() const { return !m_root.empty(); }

    void Feed(const std::vector<Bytes>& blocks) {
        for (const Bytes& block : blocks) {
            FillMSCData(reinterpret_cast<std::uintptr_t>(block.data()), block.size(), 3, m_frame++);
        }
    }
    // Outside the timed loop only: polls until the TPEG side has decoded everything queued.
    static void SettleUntimed() {
        while (Tpeg().bytes != Tdc().queuedBytes) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void Report(benchmark::State& state, std::size_t bytesPerIteration) const {
        state.counters["files"] = static_cast<double>(Tpeg().filesWritten);
        state.counters["drops"] = static_cast<double>(Tdc().queueDrops);
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                                static_cast<std::int64_t>(bytesPerIteration));
    }

  private:
    std::string m_root;
    std::uintptr_t m_frame = 0;
};

// Packets to files: every iteration sends content that differs from the last, so all ten
// files are written and announced each time.
void BM_PacketsToFiles(benchmark::State& state) {
    Decoders decoders;
    if (!decoders.Ready()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::vector<Bytes> broadcasts[3] = {Broadcast(kVersions[0]), Broadcast(kVersions[1]),
                                              Broadcast(kVersions[2])};
    std::uint64_t events = EventCount::Now();
    std::size_t round = 0;
    for (auto _ : state) {
        decoders.Feed(broadcasts[round++ % 3]);
        events += broadcast::kTpegApplicationCount;
        if (!EventCount::WaitFor(events)) {
            state.SkipWithError("files missing: data was lost");
            break;
        }
    }
    decoders.Report(state, TotalBytes(broadcasts[0]));
}
BENCHMARK(BM_PacketsToFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

// The carousel as it mostly is on air: the same messages again and again, repetitions that
// change nothing; the last application's messages of each iteration change,
// so one file per iteration (of kUnchangedRounds rounds) is written and its event ends the
// iteration.
void BM_UnchangedCarousel(benchmark::State& state) {
    Decoders decoders;
    if (!decoders.Ready()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::vector<Bytes> iterations[3] = {UnchangedRounds(kVersions[1], kVersions[0]),
                                              UnchangedRounds(kVersions[2], kVersions[1]),
                                              UnchangedRounds(kVersions[0], kVersions[2])};
    // Every file in place before timing starts.
    decoders.Feed(iterations[2]);
    Decoders::SettleUntimed();
    std::uint64_t events = EventCount::Now();
    std::size_t round = 0;
    for (auto _ : state) {
        decoders.Feed(iterations[round++ % 3]);
        if (!EventCount::WaitFor(++events)) {
            state.SkipWithError("file missing: data was lost");
            break;
        }
    }
    decoders.Report(state, TotalBytes(iterations[0]));
}
BENCHMARK(BM_UnchangedCarousel)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor: one CRC over the same blocks.
void BM_CrcOverTheSameBytes(benchmark::State& state) {
    const std::vector<Bytes> blocks = Broadcast(1);
    for (auto _ : state) {
        for (const Bytes& block : blocks) {
            benchmark::DoNotOptimize(broadcast::Crc16(block));
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(TotalBytes(blocks)));
}
BENCHMARK(BM_CrcOverTheSameBytes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
