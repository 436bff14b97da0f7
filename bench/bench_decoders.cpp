#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "broadcast/crc.h"
#include "broadcast/tpeg_application.h"
#include "decoders/decoder_counters.h"
#include "tests/support/msc_stream.h"
#include "tpeg/decoder_library.h"

namespace {

using testsupport::Bytes;

// A minute-like broadcast: the SNI, then every application's set of 2 kB, as 24 ms blocks of a
// 64 kbit/s sub-channel.
std::vector<Bytes> Broadcast(std::uint8_t revision) {
    testsupport::MscStream stream;
    stream.Add(testsupport::SniFrame());
    for (std::size_t app = 0; app < broadcast::kTpegApplicationCount; ++app) {
        Bytes content(2000);
        for (std::size_t i = 0; i < content.size(); ++i) {
            content[i] = static_cast<std::uint8_t>(app * 17 + revision * 3 + i);
        }
        stream.AddAll(testsupport::DataSetFrames(app, revision, content));
    }
    return stream.Blocks();
}

std::size_t TotalBytes(const std::vector<Bytes>& blocks) {
    std::size_t total = 0;
    for (const Bytes& block : blocks) {
        total += block.size();
    }
    return total;
}

std::intptr_t Acknowledge(std::uintptr_t, std::uint32_t code, std::uintptr_t parameter) {
    TTBEventComplete(parameter, code);
    return 1;
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

// Packets to files: every iteration sends content that differs from the last, so all ten
// files are written and announced each time.
void BM_PacketsToFiles(benchmark::State& state) {
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? "/dev/shm"
                                           : std::filesystem::temp_directory_path();
    std::string root = (base / "dmbtpeg-bench-XXXXXX").string();
    if (::mkdtemp(root.data()) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    ::setenv("DMBTPEG_ROOT", root.c_str(), 1);
    const std::uint32_t config[3] = {0x20000, 0x4000, 1};
    InitTDC(config);
    InitTpegLibrary(1);
    RegisterEventHandler(&Acknowledge);
    SetTransferDataPath(u"\\TPEGDATA");
    SetSelectParser(0x7FFF);
    SetPoiOpsFlag(1);
    SetTDCQueue(GetTpegQueue());
    StartTpegDecoder();
    StartTDCDecode();

    const std::vector<Bytes> broadcasts[2] = {Broadcast(1), Broadcast(2)};
    std::uintptr_t frame = 0;
    std::size_t round = 0;
    for (auto _ : state) {
        for (const Bytes& block : broadcasts[round++ % 2]) {
            FillMSCData(reinterpret_cast<std::uintptr_t>(block.data()), block.size(), 3, frame++);
        }
        const std::uint64_t queued = Tdc().queuedBytes;
        while (Tpeg().bytes != queued) {
            std::this_thread::yield();
        }
    }
    const TpegCounters counters = Tpeg();
    state.counters["files"] = static_cast<double>(counters.filesWritten);
    state.counters["drops"] = static_cast<double>(Tdc().queueDrops);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(TotalBytes(broadcasts[0])));
    StopTpegDecoder();
    StopTDCDecode();
    UninitTpegLibrary();
    UninitTDC();
    std::filesystem::remove_all(root);
}
BENCHMARK(BM_PacketsToFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

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
