#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace broadcast {

// Sample formats of IQ recordings: unsigned 8-bit I then Q, offset 127.5, as rtl_sdr writes
// them; or 32-bit float complex in the machine's byte order, full scale 1.0, at the same level.
enum class IqFormat { U8, Cf32 };

bool ParseIqFormat(const std::string& text, IqFormat& format);
std::size_t BytesPerSample(IqFormat format);

// A signal of power 1 lands at a component RMS of kU8Level / sqrt(2) (about 24 of 127.5): room
// for the peaks of an OFDM signal with noise on top, and a quantisation noise 38 dB down.
inline constexpr float kU8Level = 34.0f;

void AppendSamples(std::span<const std::complex<float>> samples, IqFormat format,
                   std::vector<std::uint8_t>& out);
// Decodes whole samples from bytes (a trailing partial sample is left out), as many as out
// holds; returns how many. Samples that are not finite (a damaged cf32 file) come out as zero.
std::size_t ReadSamples(std::span<const std::uint8_t> bytes, IqFormat format,
                        std::span<std::complex<float>> out);
// The same, appended to out.
void ReadSamples(std::span<const std::uint8_t> bytes, IqFormat format,
                 std::vector<std::complex<float>>& out);

// What a radio path does to the signal, applied in this order: the receiver's sample clock off
// by clockOffsetPpm (positive: it runs slow, so a second of signal takes fewer samples), a
// second path echoDelayUs later at echoLevelDb, the carrier off by frequencyOffsetHz, nothing
// received from outageStartS for outageLengthS, and white Gaussian noise at snrDb: the signal's
// power (outside the null symbol) over the noise power in the 1.536 MHz the ensemble occupies.
struct Impairments {
    std::optional<double> snrDb;
    double frequencyOffsetHz = 0;
    double clockOffsetPpm = 0;
    double echoDelayUs = 0;
    std::optional<double> echoLevelDb;
    double outageStartS = 0;
    double outageLengthS = 0;
    std::uint64_t seed = 1;  // the noise repeats for the same seed

    bool Any() const;
};

// Parses "snr=DB,cfo=HZ,sco=PPM,echo=US:DB,outage=START:LENGTH,seed=N" (any subset, in any
// order). False with error naming the first bad item.
bool ParseImpairments(const std::string& text, Impairments& impairments, std::string& error);

// Applies impairments to a stream of 2.048 MS/s samples, block after block, as one signal.
class RadioPath {
  public:
    explicit RadioPath(const Impairments& impairments);
    void Process(std::span<const std::complex<float>> in, std::vector<std::complex<float>>& out);

  private:
    void Resample(std::span<const std::complex<float>> in, std::vector<std::complex<float>>& out);
    float Gaussian();

    Impairments m_impairments;
    double m_step;                               // input samples per output sample
    double m_position = 1;                       // into m_pending
    std::vector<std::complex<float>> m_pending;  // input not yet resampled
    std::vector<std::complex<float>> m_echo;     // the last echo-delay samples
    std::size_t m_echoAt = 0;
    float m_echoGain = 0;
    double m_phase = 0;
    std::uint64_t m_samples = 0;  // output so far
    float m_noiseSigma = 0;       // per component
    std::uint64_t m_random;
    std::uint64_t m_randomWord = 0;
    int m_randomBits = 0;
    std::vector<std::complex<float>> m_scratch;
};

// Modulates an ETI recording into an IQ recording of the same length (rounded up to whole
// 96 ms transmission frames), through the radio path. The recording is taken as played in a
// loop: the time interleaver starts filled from its end, so the IQ recording loops without a
// seam too. Written atomically. False with error on an unreadable or unsendable recording.
bool WriteIqRecording(const std::string& etiPath, const std::string& iqPath, IqFormat format,
                      const Impairments& impairments, std::string& error);

}  // namespace broadcast
