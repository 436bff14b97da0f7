#include "broadcast/dab_receiver.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <numbers>
#include <vector>

#include "broadcast/crc.h"
#include "broadcast/dab_coding.h"

namespace broadcast {
namespace {

using namespace dab;

constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr std::size_t kDataSymbols = kSymbols - 1;
constexpr std::size_t kFicBits = kCifsPerFrame * kFicCodedBits;
// FFT windows start this far into the guard interval: echoes arrive late, so taking the
// window early keeps it clear of the next symbol while clock drift moves it a little.
constexpr double kBackoff = 32;
// Samples kept beyond a frame's ends for timing corrections.
constexpr std::int64_t kMargin = 4096;
// The phase reference's correlation peak over the mean of the impulse response: a signal
// gives hundreds or more, noise rarely above ten.
constexpr double kMinPeakQuality = 30;
constexpr double kEarlyPathLevel = 0.1;
// Null detection: the dip's power against the symbol after it (noise alone gives 1; a null
// symbol at 0 dB SNR about 0.6).
constexpr double kMaxNullRatio = 0.75;
constexpr int kMissesBeforeSearch = 3;
constexpr double kMaxClockPpm = 300;
constexpr double kMaxClockStep = 64;  // samples per frame, beyond 300 ppm
// Soft values: the symbol's mean |re| + |im| of the differential products maps to this, so a
// typical value is half of it, with headroom for strong carriers. A carrier's weight grows
// with its power, which is what a frequency-selective channel needs.
constexpr float kSoftScale = 90;
// Unused FFT bins well clear of the ensemble's edges: noise alone.
constexpr std::size_t kNoiseBinFirst = 800;
constexpr std::size_t kNoiseBinLast = 1248;
// Any larger sample component is a broken input, not a signal at the promised level.
constexpr float kMaxComponent = 1000;

int SignedBin(std::size_t bin) {
    return bin < kFftSize / 2 ? static_cast<int>(bin) : static_cast<int>(bin) - int{kFftSize};
}

double WrapHalfCarrier(double hz) {
    return hz - 1000.0 * std::round(hz / 1000.0);
}

// The phase reference's differences between neighbouring carriers: they survive a timing
// error (a phase ramp over the carriers), so they find a whole-carrier offset before timing.
const std::array<std::complex<float>, kFftSize>& ReferenceDifferences() {
    static const auto kTable = [] {
        std::array<std::complex<float>, kFftSize> table{};
        const auto& prs = PhaseReference();
        for (int k = -767; k <= 768; ++k) {
            if (k != 0 && k != 1) {
                table[FftBin(k)] = prs[FftBin(k)] * std::conj(prs[FftBin(k - 1)]);
            }
        }
        return table;
    }();
    return kTable;
}

// Rounds towards zero, which costs a soft decoder nothing; NaN cannot reach here but would
// come out as a weak -127 rather than undefined behaviour.
std::int8_t Soft(float value) {
    value = value > -127.0f ? value : -127.0f;
    value = value < 127.0f ? value : 127.0f;
    return static_cast<std::int8_t>(value);
}

// out[i] = in[i] * rotor * advance^i, in plain arithmetic (complex<float> multiplication
// checks for infinities on every product and keeps the loop from vectorising).
template <typename In, typename Out>
void MixDown(const In* in, std::complex<float> rotor, std::complex<float> advance, Out* out,
             std::size_t count = kFftSize) {
    float rr = rotor.real();
    float ri = rotor.imag();
    const float ar = advance.real();
    const float ai = advance.imag();
    for (std::size_t i = 0; i < count; ++i) {
        const float* x = reinterpret_cast<const float*>(in + i);
        float* y = reinterpret_cast<float*>(out + i);
        const float xr = x[0];
        const float xi = x[1];
        y[0] = xr * rr - xi * ri;
        y[1] = xr * ri + xi * rr;
        const float nr = rr * ar - ri * ai;
        ri = rr * ai + ri * ar;
        rr = nr;
    }
}

}  // namespace

struct DabReceiver::Impl {
    Impl() {
        std::lock_guard lock(FftwPlannerMutex());
        fftIn = fftwf_alloc_complex(kFftSize);
        fftOut = fftwf_alloc_complex(kFftSize);
        forward = fftwf_plan_dft_1d(int{kFftSize}, fftIn, fftOut, FFTW_FORWARD, FFTW_ESTIMATE);
        backward = fftwf_plan_dft_1d(int{kFftSize}, fftIn, fftOut, FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    ~Impl() {
        std::lock_guard lock(FftwPlannerMutex());
        fftwf_destroy_plan(forward);
        fftwf_destroy_plan(backward);
        fftwf_free(fftIn);
        fftwf_free(fftOut);
    }

    enum class State { Searching, Locking, Locked };

    void Reset();
    void RestartDeinterleaver() { filled = 0; }
    const std::complex<float>* At(std::int64_t from, std::size_t count) const;
    double Ratio() const { return 1.0 / (1.0 + clockPpm * 1e-6); }
    bool Acquire();
    bool ProcessFrame(const std::function<void(const ReceivedCif&)>& sink);
    void Miss();
    bool FractionalOffset(double base, double& hz) const;
    bool Transform(double position, std::int64_t reference, std::complex<float>* out);
    int CoarseShift(const std::complex<float>* spectrum, int range) const;
    bool Correlate(const std::complex<float>* spectrum, double& offset);
    bool Demodulate(double base);
    void DecodeCif(std::size_t cif, const std::function<void(const ReceivedCif&)>& sink);
    void Trim();

    fftwf_complex* fftIn = nullptr;
    fftwf_complex* fftOut = nullptr;
    fftwf_plan forward = nullptr;
    fftwf_plan backward = nullptr;

    // Input not yet used; buffer[0] is sample bufferStart of the stream.
    std::vector<std::complex<float>> buffer;
    std::int64_t bufferStart = 0;
    std::vector<double> energy;  // prefix sums for null detection

    State state = State::Searching;
    std::int64_t searchFrom = 0;
    double frameStart = 0;  // where the next frame's null symbol is expected
    double frequencyHz = 0;
    double clockPpm = 0;
    int misses = 0;
    int lockedFrames = 0;  // since the last acquisition
    ReceiverStatus status;

    std::array<std::complex<float>, kFftSize> previous{}, current{};
    std::array<std::complex<float>, kCarriers> products{};
    std::vector<std::int8_t> soft = std::vector<std::int8_t>(kDataSymbols * kSymbolBits);
    std::vector<std::int8_t> mother;
    std::vector<std::uint8_t> bits, fic, frame;
    ViterbiDecoder viterbi;

    std::optional<SubChannel> selected;
    std::optional<ProtectionProfile> profile;
    // The last kInterleavingDepth received CIFs of the sub-channel, newest at `newest`.
    std::array<std::vector<std::int8_t>, kInterleavingDepth> history;
    std::size_t newest = 0;
    std::size_t filled = 0;
    std::vector<std::int8_t> deinterleaved;
};

void DabReceiver::Impl::Reset() {
    buffer.clear();
    bufferStart = 0;
    state = State::Searching;
    searchFrom = 0;
    frameStart = 0;
    frequencyHz = 0;
    clockPpm = 0;
    misses = 0;
    lockedFrames = 0;
    status = {};
    RestartDeinterleaver();
}

const std::complex<float>* DabReceiver::Impl::At(std::int64_t from, std::size_t count) const {
    if (from < bufferStart ||
        from + static_cast<std::int64_t>(count) > bufferStart + std::ssize(buffer)) {
        return nullptr;
    }
    return buffer.data() + (from - bufferStart);
}

// Looks for a null symbol in one frame's worth of samples (and a symbol after it): the window
// of kNullSamples whose power is lowest against the symbol that follows.
bool DabReceiver::Impl::Acquire() {
    searchFrom = std::max(searchFrom, bufferStart);
    constexpr std::size_t kLength = kFrameSamples + kNullSamples + kSymbolSamples;
    const std::complex<float>* x = At(searchFrom, kLength);
    if (x == nullptr) {
        return false;
    }
    energy.resize(kLength + 1);
    energy[0] = 0;
    for (std::size_t i = 0; i < kLength; ++i) {
        energy[i + 1] = energy[i] + std::norm(x[i]);
    }
    const double mean = energy[kLength] / kLength;
    double bestRatio = kMaxNullRatio;
    std::optional<std::size_t> best;
    for (std::size_t p = 0; p <= kFrameSamples; ++p) {
        const double dip = (energy[p + kNullSamples] - energy[p]) / kNullSamples;
        const double after =
            (energy[p + kNullSamples + kSymbolSamples] - energy[p + kNullSamples]) / kSymbolSamples;
        // The symbol after must carry signal, so silence or a fade is no null symbol.
        if (after > 0.5 * mean && after > 0 && dip < bestRatio * after) {
            bestRatio = dip / after;
            best = p;
        }
    }
    if (!best) {
        searchFrom += kFrameSamples;
        return true;
    }
    frameStart = static_cast<double>(searchFrom + static_cast<std::int64_t>(*best));
    state = State::Locking;
    return true;
}

// The carrier offset modulo the carrier spacing, from the guard intervals against the ends of
// their symbols, with the whole-carrier part taken from the running estimate.
bool DabReceiver::Impl::FractionalOffset(double base, double& hz) const {
    const double ratio = Ratio();
    std::complex<double> sum;
    for (std::size_t s = 0; s < kSymbols; ++s) {
        const auto at =
            std::llround(base + static_cast<double>(kNullSamples + s * kSymbolSamples) * ratio);
        const std::complex<float>* x = At(at, kSymbolSamples);
        if (x == nullptr) {
            return false;
        }
        std::complex<float> part;
        // The guard's first quarter carries the previous symbol's echoes; leave it out.
        for (std::size_t i = kGuardSamples / 4; i < kGuardSamples; ++i) {
            part += x[i] * std::conj(x[i + kFftSize]);
        }
        sum += std::complex<double>(part);
    }
    if (!(std::abs(sum) > 0) || !std::isfinite(std::abs(sum))) {
        return false;
    }
    const double fraction = -std::arg(sum) * kSampleRate / (kTwoPi * kFftSize);
    hz = frequencyHz + WrapHalfCarrier(fraction - frequencyHz);
    return true;
}

// The spectrum of the FFT window at a fractional position: mixed down by the frequency
// estimate (phase counted from sample `reference`) and turned so that it is the spectrum of a
// window at exactly that position. Differential demodulation then sees no phase steps from
// rounding positions as the clock offset moves the symbols.
bool DabReceiver::Impl::Transform(double position, std::int64_t reference,
                                  std::complex<float>* out) {
    const auto start = static_cast<std::int64_t>(std::floor(position));
    const std::complex<float>* x = At(start, kFftSize);
    if (x == nullptr) {
        return false;
    }
    // Rotors in float drift by about 1e-4 over one window, far below what matters here.
    const double step = -kTwoPi * frequencyHz / kSampleRate;
    const std::complex<float> first(
        std::polar(1.0, std::fmod(step * static_cast<double>(start - reference), kTwoPi)));
    MixDown(x, first, std::complex<float>(std::polar(1.0, step)), fftIn);
    fftwf_execute(forward);
    const double ramp = kTwoPi * (position - static_cast<double>(start)) / kFftSize;
    // Bins from -1024 upwards: the negative half first.
    const std::complex<float> turnStep(std::polar(1.0, ramp));
    MixDown(fftOut + kFftSize / 2, std::complex<float>(std::polar(1.0, ramp * -1024.0)), turnStep,
            out + kFftSize / 2, kFftSize / 2);
    MixDown(fftOut, std::complex<float>(1, 0), turnStep, out, kFftSize / 2);
    return true;
}

int DabReceiver::Impl::CoarseShift(const std::complex<float>* spectrum, int range) const {
    const auto& reference = ReferenceDifferences();
    std::array<std::complex<float>, kFftSize> differences;
    for (std::size_t bin = 0; bin < kFftSize; ++bin) {
        differences[bin] = spectrum[bin] * std::conj(spectrum[(bin + kFftSize - 1) % kFftSize]);
    }
    int best = 0;
    float bestScore = -1;
    for (int shift = -range; shift <= range; ++shift) {
        std::complex<float> sum;
        for (int k = -767; k <= 768; ++k) {
            sum += differences[FftBin(k + shift) % kFftSize] * std::conj(reference[FftBin(k)]);
        }
        if (std::abs(sum) > bestScore) {
            bestScore = std::abs(sum);
            best = shift;
        }
    }
    return best;
}

// The channel's impulse response from the phase reference; offset: where its strongest path
// stands from the window's start, in samples. False when no phase reference is there.
bool DabReceiver::Impl::Correlate(const std::complex<float>* spectrum, double& offset) {
    const auto& reference = PhaseReference();
    for (std::size_t bin = 0; bin < kFftSize; ++bin) {
        const std::complex<float> z = spectrum[bin] * std::conj(reference[bin]);
        fftIn[bin][0] = z.real();
        fftIn[bin][1] = z.imag();
    }
    fftwf_execute(backward);
    auto power = [&](std::size_t n) {
        const auto& v = fftOut[n % kFftSize];
        return double{v[0]} * v[0] + double{v[1]} * v[1];
    };
    double total = 0;
    double peak = -1;
    std::size_t at = 0;
    for (std::size_t n = 0; n < kFftSize; ++n) {
        const double p = power(n);
        total += p;
        if (p > peak) {
            peak = p;
            at = n;
        }
    }
    if (!(peak > kMinPeakQuality * total / kFftSize)) {
        return false;
    }
    // With several strong paths (a single-frequency network) the windows must start ahead of
    // the earliest, so that the later ones fall into the guard interval rather than into the
    // next symbol: take the earliest path within 10 dB of the strongest.
    for (std::size_t back = kGuardSamples - 2 * kBackoff; back > 0; --back) {
        const std::size_t n = (at + kFftSize - back) % kFftSize;
        if (power(n) > kEarlyPathLevel * peak) {
            at = n;
            break;
        }
    }
    // A parabola through the magnitudes around the path for the fraction of a sample.
    const double left = std::sqrt(power(at + kFftSize - 1));
    const double middle = std::sqrt(power(at));
    const double right = std::sqrt(power(at + 1));
    const double curvature = left - 2 * middle + right;
    const double fraction = curvature < 0 ? 0.5 * (left - right) / curvature : 0;
    offset = SignedBin(at) + std::clamp(fraction, -0.5, 0.5);
    return std::isfinite(offset);
}

// All symbols of the frame whose null starts at base into soft bits, frequency de-interleaved.
bool DabReceiver::Impl::Demodulate(double base) {
    const double ratio = Ratio();
    const auto reference = static_cast<std::int64_t>(std::floor(base));
    const auto& carrierOf = CarrierOfSymbol();
    double signal = 0;
    double noise = 0;
    for (std::size_t s = 0; s < kSymbols; ++s) {
        const double position =
            base + static_cast<double>(kNullSamples + kGuardSamples + s * kSymbolSamples) * ratio -
            kBackoff;
        if (!Transform(position, reference, current.data())) {
            return false;
        }
        if (s > 0) {
            // Differential products in carrier order; their mean L1 magnitude sets the scale.
            float magnitude = 0;
            for (std::size_t n = 0; n < kCarriers; ++n) {
                const std::size_t bin = FftBin(carrierOf[n]);
                const float cr = current[bin].real();
                const float ci = current[bin].imag();
                const float pr = previous[bin].real();
                const float pi = previous[bin].imag();
                const float yr = cr * pr + ci * pi;
                const float yi = ci * pr - cr * pi;
                products[n] = {yr, yi};
                magnitude += std::abs(yr) + std::abs(yi);
                signal += cr * cr + ci * ci;
            }
            for (std::size_t bin = kNoiseBinFirst; bin <= kNoiseBinLast; ++bin) {
                noise += std::norm(current[bin]);
            }
            const float scale = magnitude > 1e-20f ? kSoftScale * kCarriers / magnitude : 0;
            std::int8_t* out = soft.data() + (s - 1) * kSymbolBits;
            for (std::size_t n = 0; n < kCarriers; ++n) {
                out[n] = Soft(products[n].real() * scale);
                out[n + kCarriers] = Soft(products[n].imag() * scale);
            }
        }
        std::swap(previous, current);
    }
    const double noisePerBin = noise / (kNoiseBinLast - kNoiseBinFirst + 1);
    const double signalPerBin = signal / kCarriers - noisePerBin;
    if (std::isfinite(signalPerBin) && signalPerBin > 0) {
        const double snr = noisePerBin > 0 ? 10 * std::log10(signalPerBin / noisePerBin) : 60.0;
        const double clamped = std::clamp(snr, -20.0, 60.0);
        status.snrDb = status.frames == 0 ? clamped : 0.7 * status.snrDb + 0.3 * clamped;
    }
    return true;
}

void DabReceiver::Impl::Miss() {
    RestartDeinterleaver();         // a lost frame would mix logical frames
    if (state == State::Locking) {  // a dip, but no phase reference after it
        state = State::Searching;
        searchFrom = static_cast<std::int64_t>(frameStart) + std::int64_t{kNullSamples};
        return;
    }
    frameStart += static_cast<double>(kFrameSamples) * Ratio();
    if (++misses >= kMissesBeforeSearch) {
        state = State::Searching;
        status.synced = false;
        searchFrom = static_cast<std::int64_t>(frameStart);
    }
}

bool DabReceiver::Impl::ProcessFrame(const std::function<void(const ReceivedCif&)>& sink) {
    const double length = static_cast<double>(kFrameSamples) * Ratio();
    // Timing corrections move the frame by at most a few thousand samples either way; At()
    // refuses anything outside the input kept.
    if (bufferStart + std::ssize(buffer) <
        static_cast<std::int64_t>(frameStart + length) + kMargin) {
        return false;
    }
    double base = frameStart;
    const double before = frequencyHz;
    bool found = false;
    for (int pass = 0; pass < 3; ++pass) {
        double hz = 0;
        if (!FractionalOffset(base, hz)) {
            break;
        }
        frequencyHz = hz;
        const auto reference = static_cast<std::int64_t>(std::floor(base));
        const double position =
            base + static_cast<double>(kNullSamples + kGuardSamples) * Ratio() - kBackoff;
        if (!Transform(position, reference, current.data())) {
            break;
        }
        const int shift = CoarseShift(current.data(), state == State::Locked ? 2 : 35);
        if (shift != 0) {
            frequencyHz += 1000.0 * shift;
            Transform(position, reference, current.data());
        }
        double offset = 0;
        found = Correlate(current.data(), offset);
        if (!found) {
            break;
        }
        const double error = offset - kBackoff;
        base += error;
        if (std::abs(error) < 2) {
            break;
        }
    }
    if (!found || !Demodulate(base)) {
        frequencyHz = state == State::Locked ? before : 0;
        Miss();
        return true;
    }
    if (state == State::Locked) {
        // A second-order loop on the frame timing: the step needed now says how far the
        // clock estimate is off. A larger step is no clock: samples lost on the way in, or
        // the strongest path changing. The gain drops once settled, as the peak's
        // interpolation is off by up to a tenth of a sample depending on where between
        // samples the peak falls, which would make the estimate wander by a few ppm.
        const double error = base - frameStart;
        const double gain = ++lockedFrames < 8 ? 0.5 : 0.15;
        if (std::abs(error) < kMaxClockStep) {
            clockPpm =
                std::clamp(clockPpm - gain * 1e6 * error / static_cast<double>(kFrameSamples),
                           -kMaxClockPpm, kMaxClockPpm);
        }
    } else {
        RestartDeinterleaver();
        lockedFrames = 0;
    }
    state = State::Locked;
    misses = 0;
    status.synced = true;
    for (std::size_t cif = 0; cif < kCifsPerFrame; ++cif) {
        DecodeCif(cif, sink);
    }
    ++status.frames;
    frameStart = base + length;
    return true;
}

void DabReceiver::Impl::DecodeCif(std::size_t cif,
                                  const std::function<void(const ReceivedCif&)>& sink) {
    Depuncture(std::span(soft).subspan(cif * kFicCodedBits, kFicCodedBits), FicProfile(), mother);
    viterbi.Decode(mother, bits);
    Disperse(bits);
    fic.clear();
    Pack(bits, fic);
    for (std::size_t fib = 0; fib < 3; ++fib) {
        const auto bytes = std::span(fic).subspan(fib * 32, 32);
        const bool good = Crc16(bytes.first(30)) == (bytes[30] << 8 | bytes[31]);
        ++(good ? status.fibsGood : status.fibsBad);
    }

    ReceivedCif received{fic, {}};
    if (selected && profile) {
        const std::size_t size = selected->sizeCu * kCuBits;
        newest = (newest + 1) % kInterleavingDepth;
        std::copy_n(soft.begin() + static_cast<std::ptrdiff_t>(kFicBits + cif * kCifBits +
                                                               selected->startAddress * kCuBits),
                    size, history[newest].begin());
        filled = std::min(filled + 1, kInterleavingDepth);
        if (filled == kInterleavingDepth) {
            // Bit i of a logical frame went out InterleavingDelay(i) CIFs after it: the frame
            // sent 15 CIFs ago is complete now.
            for (std::size_t i = 0; i < size; ++i) {
                deinterleaved[i] =
                    history[(newest + 1 + InterleavingDelay(i)) % kInterleavingDepth][i];
            }
            Depuncture(deinterleaved, *profile, mother);
            viterbi.Decode(mother, bits);
            Disperse(bits);
            frame.clear();
            Pack(bits, frame);
            received.subChannel = frame;
        }
    }
    sink(received);
}

void DabReceiver::Impl::Trim() {
    std::int64_t keep =
        (state == State::Searching ? searchFrom : static_cast<std::int64_t>(frameStart)) -
        2 * kMargin;
    keep = std::min(keep, bufferStart + std::ssize(buffer));
    // Erase in large steps only, so that small blocks do not move the buffer each time.
    if (keep - bufferStart > std::int64_t{kFrameSamples}) {
        buffer.erase(buffer.begin(), buffer.begin() + (keep - bufferStart));
        bufferStart = keep;
    }
}

DabReceiver::DabReceiver() : m_impl(std::make_unique<Impl>()) {}
DabReceiver::~DabReceiver() = default;

void DabReceiver::Reset() {
    m_impl->Reset();
}

void DabReceiver::SelectSubChannel(const std::optional<SubChannel>& subChannel) {
    Impl& impl = *m_impl;
    impl.selected.reset();
    impl.profile.reset();
    impl.RestartDeinterleaver();
    if (!subChannel) {
        return;
    }
    const auto profile = SubChannelProfile(*subChannel);
    if (!profile || subChannel->startAddress + subChannel->sizeCu > kCifCus ||
        profile->OutputBits() != subChannel->sizeCu * kCuBits) {
        return;
    }
    impl.selected = subChannel;
    impl.profile = profile;
    for (auto& cif : impl.history) {
        cif.assign(subChannel->sizeCu * kCuBits, 0);
    }
    impl.deinterleaved.assign(subChannel->sizeCu * kCuBits, 0);
}

void DabReceiver::Push(std::span<const std::complex<float>> samples,
                       const std::function<void(const ReceivedCif&)>& sink) {
    Impl& impl = *m_impl;
    // Non-finite or absurd values would poison every sum they enter.
    const std::size_t at = impl.buffer.size();
    impl.buffer.resize(at + samples.size());
    const float* in = reinterpret_cast<const float*>(samples.data());
    float* out = reinterpret_cast<float*>(impl.buffer.data() + at);
    for (std::size_t i = 0; i < 2 * samples.size(); ++i) {
        const float v = in[i] == in[i] ? in[i] : 0.0f;  // NaN
        out[i] = v < -kMaxComponent ? -kMaxComponent : v > kMaxComponent ? kMaxComponent : v;
    }
    for (;;) {
        const bool progress =
            impl.state == Impl::State::Searching ? impl.Acquire() : impl.ProcessFrame(sink);
        if (!progress) {
            break;
        }
    }
    impl.Trim();
}

ReceiverStatus DabReceiver::Status() const {
    ReceiverStatus status = m_impl->status;
    status.frequencyOffsetHz = m_impl->frequencyHz;
    status.clockOffsetPpm = m_impl->clockPpm;
    return status;
}

}  // namespace broadcast
