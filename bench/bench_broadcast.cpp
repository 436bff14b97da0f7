#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "broadcast/crc.h"
#include "broadcast/packet.h"
#include "broadcast/tpeg_frame.h"
#include "broadcast/tpeg_frame_finder.h"

namespace {

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    return bytes;
}

void BM_Crc16(benchmark::State& state) {
    const auto bytes = Pattern(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(broadcast::Crc16(bytes));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(22)->Arg(94)->Arg(4096);

void BM_ParsePackets(benchmark::State& state) {
    std::uint8_t continuity = 0;
    std::vector<std::uint8_t> stream;
    broadcast::AppendDataGroupPackets(Pattern(91 * 100), 17, 96, continuity, stream);
    for (auto _ : state) {
        std::span<const std::uint8_t> rest(stream);
        while (!rest.empty()) {
            const auto packet = broadcast::ParsePacket(rest);
            benchmark::DoNotOptimize(packet.packet.useful.data());
            rest = rest.subspan(packet.size);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_ParsePackets);

void BM_FindTransportFrames(benchmark::State& state) {
    std::vector<std::uint8_t> service;
    broadcast::AppendServiceFrameHeader({1, 2, 3}, 0, service);
    broadcast::AppendComponentFrame(1, Pattern(1000), service);
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < 16; ++i) {
        broadcast::AppendTransportFrame(1, service, stream);
    }
    for (auto _ : state) {
        broadcast::TransportFrameFinder finder;
        for (std::size_t at = 0; at < stream.size(); at += 192) {
            finder.Push(
                std::span(stream).subspan(at, std::min<std::size_t>(192, stream.size() - at)));
            while (const auto frame = finder.Next()) {
                benchmark::DoNotOptimize(frame->size);
            }
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_FindTransportFrames);

}  // namespace

BENCHMARK_MAIN();
