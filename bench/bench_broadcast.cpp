#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "broadcast/check_pattern.h"
#include "broadcast/crc.h"
#include "broadcast/dab_coding.h"
#include "broadcast/dab_modulator.h"
#include "broadcast/dab_receiver.h"
#include "broadcast/ensemble.h"
#include "broadcast/eti.h"
#include "broadcast/iq_signal.h"
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

// ETI frames of an ensemble whose sub-channels carry the check pattern.
std::vector<std::vector<std::uint8_t>> EtiFrames(
    const std::vector<broadcast::SubChannel>& subChannels, std::uint32_t count) {
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::uint32_t n = 0; n < count; ++n) {
        std::vector<std::vector<std::uint8_t>> payloads;
        std::vector<broadcast::EtiStream> streams;
        for (const auto& sc : subChannels) {
            payloads.emplace_back(sc.StreamLengthWords() * 8u);
            broadcast::FillCheckPattern(n, payloads.back());
        }
        for (std::size_t i = 0; i < subChannels.size(); ++i) {
            const auto& sc = subChannels[i];
            streams.push_back(
                {sc.id, sc.startAddress,
                 broadcast::EtiProtection(sc.shortForm, sc.option, sc.protectionLevel),
                 payloads[i]});
        }
        const std::vector<std::uint8_t> fic(96, 0x5A);
        broadcast::EtiFrameContent content;
        content.frameNumber = n;
        content.fic = fic;
        content.streams = streams;
        frames.emplace_back(broadcast::kEtiFrameSize);
        broadcast::WriteEtiFrame(content, frames.back());
    }
    return frames;
}

// One 96 ms transmission frame of DAB mode I per iteration, from four ETI frames of a full
// multiplex (864 CUs in three sub-channels) to u8 samples; Arg(1) adds white noise.
void BM_ModulateSignal(benchmark::State& state) {
    const auto frames =
        EtiFrames({broadcast::UepSubChannel(1, 0, 35), broadcast::EepSubChannel(2, 96, 384, 3),
                   broadcast::EepSubChannel(3, 384, 640, 3)},
                  4);
    broadcast::DabModulator modulator;
    broadcast::Impairments impairments;
    if (state.range(0) != 0) {
        impairments.snrDb = 10;
    }
    broadcast::RadioPath path(impairments);
    std::vector<std::complex<float>> received;
    std::vector<std::uint8_t> bytes;
    std::string error;
    for (auto _ : state) {
        for (const auto& frame : frames) {
            modulator.Add(broadcast::ParseEtiFrame(frame).frame, error);
        }
        path.Process(modulator.Samples(), received);
        bytes.clear();
        broadcast::AppendSamples(received, broadcast::IqFormat::U8, bytes);
        benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(BM_ModulateSignal)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One 96 ms transmission frame per iteration through the receiver, synchronised, with noise
// and a carrier offset, FIC and one 64 kbit/s sub-channel decoded.
void BM_ReceiveSignal(benchmark::State& state) {
    const auto subChannel = broadcast::EepSubChannel(1, 0, 64, 3);
    const auto frames = EtiFrames({subChannel}, 32);
    broadcast::DabModulator modulator;
    broadcast::Impairments impairments;
    impairments.snrDb = 10;
    impairments.frequencyOffsetHz = 1234;
    broadcast::RadioPath path(impairments);
    std::vector<std::vector<std::complex<float>>> signal;
    std::string error;
    for (const auto& frame : frames) {
        modulator.Add(broadcast::ParseEtiFrame(frame).frame, error);
        if (modulator.FrameReady()) {
            signal.emplace_back();
            path.Process(modulator.Samples(), signal.back());
        }
    }
    broadcast::DabReceiver receiver;
    receiver.SelectSubChannel(subChannel);
    std::size_t cifs = 0;
    const auto sink = [&](const broadcast::ReceivedCif&) { ++cifs; };
    for (const auto& frame : signal) {  // settle sync and fill the de-interleaver
        receiver.Push(frame, sink);
    }
    std::size_t next = 0;
    for (auto _ : state) {
        receiver.Push(signal[next], sink);
        next = (next + 1) % signal.size();
    }
    if (!receiver.Status().synced) {
        state.SkipWithError("receiver lost sync");
    }
    state.counters["cifs"] = static_cast<double>(cifs);
}
BENCHMARK(BM_ReceiveSignal)->Unit(benchmark::kMillisecond);

// One 96 ms transmission frame per iteration from the u8 IQ recording named by
// DMBTPEG_BENCH_IQ through the receiver, the conversion from bytes included, with the FIC and
// sub-channel 1 (EEP 3-A, 64 kbit/s, at address 0) decoded. run-bench builds the recording and
// runs welle-cli on the same file, so both receivers are timed on the same signal.
void BM_ReceiveFile(benchmark::State& state) {
    const char* path = std::getenv("DMBTPEG_BENCH_IQ");
    if (path == nullptr) {
        state.SkipWithError("DMBTPEG_BENCH_IQ names no IQ recording (run-bench sets it)");
        return;
    }
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    const std::size_t frameBytes =
        broadcast::dab::kFrameSamples * broadcast::BytesPerSample(broadcast::IqFormat::U8);
    const std::size_t frames = bytes.size() / frameBytes;
    constexpr std::size_t kSettle = 8;  // sync, then the de-interleaver's 16 CIFs
    if (frames <= kSettle) {
        state.SkipWithError("DMBTPEG_BENCH_IQ is not a recording of several frames");
        return;
    }
    broadcast::DabReceiver receiver;
    receiver.SelectSubChannel(broadcast::EepSubChannel(1, 0, 64, 3));
    std::size_t decoded = 0;
    const auto sink = [&](const broadcast::ReceivedCif& cif) {
        decoded += cif.subChannel.empty() ? 0 : 1;
    };
    std::vector<std::complex<float>> samples;
    std::size_t next = 0;
    const auto push = [&] {
        samples.clear();
        broadcast::ReadSamples(std::span(bytes).subspan(next * frameBytes, frameBytes),
                               broadcast::IqFormat::U8, samples);
        receiver.Push(samples, sink);
        next = (next + 1) % frames;  // the recording loops without a seam
    };
    while (next < kSettle) {
        push();
    }
    decoded = 0;
    for (auto _ : state) {
        push();
    }
    if (!receiver.Status().synced || decoded == 0) {
        state.SkipWithError("the receiver decoded nothing from the recording");
    }
    state.counters["subchannel_frames"] = static_cast<double>(decoded);
}
BENCHMARK(BM_ReceiveFile)->Unit(benchmark::kMillisecond);

// Whether the receiver decodes a 64 kbit/s EEP 3-A sub-channel carrying the check pattern
// through white noise at snrDb without a wrong or missing logical frame, for at least
// kSensitivityFrames of them. The signal goes through u8 samples, as a recording holds it.
// Frames before the first right one are the receiver finding sync and filling its
// de-interleaver.
constexpr std::size_t kSensitivityFrames = 250;  // 6 s

bool DecodesWithoutError(const std::vector<std::vector<std::uint8_t>>& eti,
                         const broadcast::SubChannel& subChannel, double snrDb) {
    broadcast::DabModulator modulator;
    broadcast::Impairments impairments;
    impairments.snrDb = snrDb;
    impairments.seed = 5;
    broadcast::RadioPath path(impairments);
    broadcast::DabReceiver receiver;
    receiver.SelectSubChannel(subChannel);
    int last = -1;
    std::size_t good = 0;
    bool wrong = false;
    const auto sink = [&](const broadcast::ReceivedCif& cif) {
        if (cif.subChannel.empty()) {
            wrong = wrong || last >= 0;
            return;
        }
        const int number = broadcast::CheckPatternFrame(cif.subChannel);
        if (last < 0 && number < 0) {
            return;
        }
        wrong = wrong || number < 0 || (last >= 0 && number != last + 1);
        last = number;
        ++good;
    };
    std::vector<std::complex<float>> received, samples;
    std::vector<std::uint8_t> bytes;
    std::string error;
    for (const auto& frame : eti) {
        modulator.Add(broadcast::ParseEtiFrame(frame).frame, error);
        if (!modulator.FrameReady()) {
            continue;
        }
        path.Process(modulator.Samples(), received);
        bytes.clear();
        broadcast::AppendSamples(received, broadcast::IqFormat::U8, bytes);
        samples.clear();
        broadcast::ReadSamples(bytes, broadcast::IqFormat::U8, samples);
        receiver.Push(samples, sink);
        if (wrong) {
            return false;
        }
    }
    return good >= kSensitivityFrames;
}

// Steps of 0.5 dB down from 9 dB until the pattern no longer comes through without error;
// first_failure_db is that step (-0.5 dB: none failed down to 0 dB), and the step above it is
// the receiver's sensitivity.
void BM_Sensitivity(benchmark::State& state) {
    const auto subChannel = broadcast::EepSubChannel(1, 0, 64, 3);
    // Enough frames for sync and the de-interleaver ahead of the counted ones.
    const auto eti = EtiFrames({subChannel}, kSensitivityFrames + 48);
    double failed = -0.5;
    for (auto _ : state) {
        for (double snr = 9; snr >= 0; snr -= 0.5) {
            if (!DecodesWithoutError(eti, subChannel, snr)) {
                failed = snr;
                break;
            }
        }
    }
    state.counters["first_failure_db"] = failed;
}
BENCHMARK(BM_Sensitivity)->Iterations(1)->Unit(benchmark::kMillisecond);

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
