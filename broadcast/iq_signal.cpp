#include "broadcast/iq_signal.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <sstream>

#include "broadcast/dab_coding.h"
#include "broadcast/dab_modulator.h"
#include "broadcast/eti_reader.h"

namespace broadcast {
namespace {

bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

// Two numbers separated by a colon.
bool ParsePair(const std::string& text, double& first, double& second) {
    const auto colon = text.find(':');
    return colon != std::string::npos && ParseNumber(text.substr(0, colon), first) &&
           ParseNumber(text.substr(colon + 1), second);
}

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

bool ParseIqFormat(const std::string& text, IqFormat& format) {
    if (text == "u8") {
        format = IqFormat::U8;
    } else if (text == "cf32") {
        format = IqFormat::Cf32;
    } else {
        return false;
    }
    return true;
}

std::size_t BytesPerSample(IqFormat format) {
    return format == IqFormat::U8 ? 2 : 2 * sizeof(float);
}

void AppendSamples(std::span<const std::complex<float>> samples, IqFormat format,
                   std::vector<std::uint8_t>& out) {
    const std::size_t at = out.size();
    out.resize(at + samples.size() * BytesPerSample(format));
    if (format == IqFormat::Cf32) {
        std::vector<std::complex<float>> scaled(samples.begin(), samples.end());
        for (auto& s : scaled) {
            s *= kU8Level / 127.5f;
        }
        std::memcpy(out.data() + at, scaled.data(), scaled.size() * sizeof(scaled[0]));
        return;
    }
    auto quantise = [](float v) {
        return static_cast<std::uint8_t>(
            std::clamp(std::lround(v * kU8Level + 127.5f), long{0}, long{255}));
    };
    std::uint8_t* to = out.data() + at;
    for (const auto& s : samples) {
        *to++ = quantise(s.real());
        *to++ = quantise(s.imag());
    }
}

std::size_t ReadSamples(std::span<const std::uint8_t> bytes, IqFormat format,
                        std::span<std::complex<float>> out) {
    const std::size_t count = std::min(bytes.size() / BytesPerSample(format), out.size());
    if (format == IqFormat::Cf32) {
        std::memcpy(out.data(), bytes.data(), count * sizeof(std::complex<float>));
        for (auto& sample : out.first(count)) {
            // A recording is anybody's file: NaN and infinity would never leave a receiver's
            // filters once they were in.
            // Scaled first: a finite value near the float limit overflows.
            sample *= 127.5f / kU8Level;
            if (!std::isfinite(sample.real()) || !std::isfinite(sample.imag())) {
                sample = {};
            }
        }
        return count;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = {(bytes[2 * i] - 127.5f) / kU8Level, (bytes[2 * i + 1] - 127.5f) / kU8Level};
    }
    return count;
}

void ReadSamples(std::span<const std::uint8_t> bytes, IqFormat format,
                 std::vector<std::complex<float>>& out) {
    const std::size_t at = out.size();
    out.resize(at + bytes.size() / BytesPerSample(format));
    ReadSamples(bytes, format, std::span(out).subspan(at));
}

bool Impairments::Any() const {
    return snrDb || frequencyOffsetHz != 0 || clockOffsetPpm != 0 || echoLevelDb ||
           outageLengthS > 0;
}

bool ParseImpairments(const std::string& text, Impairments& result, std::string& error) {
    Impairments impairments = result;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        const auto equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        double a = 0;
        double b = 0;
        bool ok = false;
        if (key == "snr") {
            ok = ParseNumber(value, a);
            impairments.snrDb = a;
        } else if (key == "cfo") {
            ok = ParseNumber(value, impairments.frequencyOffsetHz);
        } else if (key == "sco") {
            ok = ParseNumber(value, a) && std::abs(a) < 1000;
            impairments.clockOffsetPpm = a;
        } else if (key == "echo") {
            ok = ParsePair(value, a, b) && a > 0 && a < 1000 && b <= 0;
            impairments.echoDelayUs = a;
            impairments.echoLevelDb = b;
        } else if (key == "outage") {
            ok = ParsePair(value, a, b) && a >= 0 && b >= 0;
            impairments.outageStartS = a;
            impairments.outageLengthS = b;
        } else if (key == "seed") {
            ok = ParseNumber(value, a) && a >= 0;
            impairments.seed = static_cast<std::uint64_t>(a);
        }
        if (!ok) {
            error = "bad impairment \"" + item +
                    "\" (snr=DB, cfo=HZ, sco=PPM below 1000, echo=US:DB with a delay below "
                    "1000 us and a level of 0 dB or less, outage=START:LENGTH in seconds, "
                    "seed=N)";
            return false;
        }
    }
    result = impairments;
    return true;
}

RadioPath::RadioPath(const Impairments& impairments)
    : m_impairments(impairments),
      m_step(1.0 + impairments.clockOffsetPpm * 1e-6),
      m_random(impairments.seed) {
    if (impairments.echoLevelDb) {
        const auto delay = static_cast<std::size_t>(
            std::lround(impairments.echoDelayUs * 1e-6 * dab::kSampleRate));
        m_echo.assign(std::max<std::size_t>(delay, 1), {});
        m_echoGain = static_cast<float>(std::pow(10.0, *impairments.echoLevelDb / 20));
    }
    if (impairments.snrDb) {
        // Noise over the whole sampled band, so that the part inside the ensemble's band
        // stands at the asked ratio to a signal of power 1.
        const double inBand = std::pow(10.0, -*impairments.snrDb / 10);
        const double total = inBand * dab::kFftSize / dab::kCarriers;
        m_noiseSigma = static_cast<float>(std::sqrt(total / 2));
    }
}

float RadioPath::Gaussian() {
    // The normal distribution's quantiles at 65,536 evenly spaced probabilities: one table
    // look-up per sample instead of a logarithm and a sine, tails cut at 4.3 sigma, which a
    // decoder's error rate does not notice.
    static const std::vector<float> kQuantiles = [] {
        std::vector<float> table(1 << 16);
        for (std::size_t i = 0; i < table.size() / 2; ++i) {
            const double p = (static_cast<double>(i) + 0.5) / static_cast<double>(table.size());
            double low = -8;
            double high = 0;
            for (int step = 0; step < 60; ++step) {
                const double mid = (low + high) / 2;
                (0.5 * std::erfc(-mid / std::numbers::sqrt2) < p ? low : high) = mid;
            }
            table[i] = static_cast<float>(low);
            table[table.size() - 1 - i] = static_cast<float>(-low);
        }
        return table;
    }();
    if (m_randomBits < 16) {
        m_randomWord = SplitMix(m_random);
        m_randomBits = 64;
    }
    const auto index = static_cast<std::size_t>(m_randomWord & 0xFFFF);
    m_randomWord >>= 16;
    m_randomBits -= 16;
    return kQuantiles[index];
}

void RadioPath::Resample(std::span<const std::complex<float>> in,
                         std::vector<std::complex<float>>& out) {
    m_pending.insert(m_pending.end(), in.begin(), in.end());
    // Catmull-Rom between the two samples around each output instant.
    while (m_position + 2 < static_cast<double>(m_pending.size())) {
        const auto i = static_cast<std::size_t>(m_position);
        const float t = static_cast<float>(m_position - static_cast<double>(i));
        const auto x0 = m_pending[i - 1], x1 = m_pending[i], x2 = m_pending[i + 1],
                   x3 = m_pending[i + 2];
        out.push_back(0.5f * (2.0f * x1 + (x2 - x0) * t +
                              (2.0f * x0 - 5.0f * x1 + 4.0f * x2 - x3) * (t * t) +
                              (3.0f * x1 - x0 - 3.0f * x2 + x3) * (t * t * t)));
        m_position += m_step;
    }
    const auto used = static_cast<std::size_t>(m_position) - 1;
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(used));
    m_position -= static_cast<double>(used);
}

void RadioPath::Process(std::span<const std::complex<float>> in,
                        std::vector<std::complex<float>>& out) {
    out.clear();
    if (m_step != 1.0) {
        Resample(in, out);
    } else {
        out.assign(in.begin(), in.end());
    }
    if (!m_echo.empty()) {
        for (auto& s : out) {
            const auto delayed = m_echo[m_echoAt];
            m_echo[m_echoAt] = s;
            m_echoAt = (m_echoAt + 1) % m_echo.size();
            s += m_echoGain * delayed;
        }
    }
    if (m_impairments.frequencyOffsetHz != 0) {
        const double step =
            2 * std::numbers::pi * m_impairments.frequencyOffsetHz / dab::kSampleRate;
        for (auto& s : out) {
            s *= std::polar(1.0f, static_cast<float>(m_phase));
            m_phase = std::fmod(m_phase + step, 2 * std::numbers::pi);
        }
    }
    const auto outageFrom =
        static_cast<std::uint64_t>(m_impairments.outageStartS * dab::kSampleRate);
    const auto outageTo =
        outageFrom + static_cast<std::uint64_t>(m_impairments.outageLengthS * dab::kSampleRate);
    for (auto& s : out) {
        if (m_samples >= outageFrom && m_samples < outageTo) {
            s = {};
        }
        if (m_noiseSigma > 0) {
            s += std::complex<float>{Gaussian(), Gaussian()} * m_noiseSigma;
        }
        ++m_samples;
    }
}

bool WriteIqRecording(const std::string& etiPath, const std::string& iqPath, IqFormat format,
                      const Impairments& impairments, std::string& error) {
    EtiReader reader;
    if (!reader.Open(etiPath)) {
        error = "cannot read ETI recording " + etiPath;
        return false;
    }
    std::vector<std::vector<std::uint8_t>> frames;
    for (EtiReadResult r = reader.Next(); r.status != EtiReadStatus::End; r = reader.Next()) {
        if (r.status == EtiReadStatus::IoError) {
            error = "cannot read ETI recording " + etiPath;
            return false;
        }
        if (r.status == EtiReadStatus::Frame) {
            frames.emplace_back(r.bytes.begin(), r.bytes.end());
        }
    }
    if (frames.empty()) {
        error = etiPath + " holds no valid ETI frame";
        return false;
    }

    const std::string temporary = iqPath + ".tmp";
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    DabModulator modulator;
    RadioPath path(impairments);
    std::vector<std::complex<float>> received;
    std::vector<std::uint8_t> bytes;
    const std::size_t n = frames.size();
    const std::size_t total =
        (n + dab::kCifsPerFrame - 1) / dab::kCifsPerFrame * dab::kCifsPerFrame;
    // The first kInterleavingDepth frames only fill the interleaver with the recording's end.
    bool ok = true;
    for (std::size_t i = 0; i < dab::kInterleavingDepth + total && ok; ++i) {
        const std::size_t index = (i + n * dab::kInterleavingDepth - dab::kInterleavingDepth) % n;
        const EtiFrameResult parsed = ParseEtiFrame(frames[index]);
        if (!modulator.Add(parsed.frame, error)) {
            error = etiPath + ", frame " + std::to_string(index) + ": " + error;
            ok = false;
        } else if (modulator.FrameReady() && i >= dab::kInterleavingDepth) {
            path.Process(modulator.Samples(), received);
            bytes.clear();
            AppendSamples(received, format, bytes);
            if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
                error = "cannot write " + temporary + ": " + std::strerror(errno);
                ok = false;
            }
        }
    }
    if (std::fclose(out) != 0 && ok) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        ok = false;
    }
    std::error_code ec;
    if (ok) {
        std::filesystem::rename(temporary, iqPath, ec);
        if (ec) {
            error = "cannot rename " + temporary + " to " + iqPath + ": " + ec.message();
            ok = false;
        }
    }
    if (!ok) {
        std::filesystem::remove(temporary, ec);
    }
    return ok;
}

}  // namespace broadcast
