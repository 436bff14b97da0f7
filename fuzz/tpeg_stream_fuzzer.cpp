// libFuzzer target: a TPEG stream arriving in arbitrary chunks goes through the service decoder,
// and the same bytes through the SNI reader. Small content bounds, chosen by the first byte,
// let short inputs reach the refusal and eviction paths; held content must stay within them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "broadcast/content_budget.h"
#include "broadcast/sni.h"
#include "broadcast/tpeg_service_decoder.h"

namespace {

class TouchingObserver : public broadcast::TpegServiceObserver {
  public:
    void OnServiceInformation(broadcast::ServiceId, const broadcast::SniTable& sni) override {
        for (const broadcast::SniFastTuningEntry& entry : sni.entries) {
            m_sum += entry.aid;
        }
    }
    // Reading every byte lets the address sanitizer see a file that points outside its buffer.
    void OnMessages(const broadcast::TpegApplication&,
                    std::span<const std::uint8_t> file) override {
        for (std::uint8_t byte : file) {
            m_sum += byte;
        }
    }
    std::size_t Sum() const { return m_sum; }

  private:
    std::size_t m_sum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the chunk size, so frames also arrive split at every place, and
    // whether the bounds are the shipped ones or a few hundred bytes.
    const std::size_t chunk = 1 + (data[0] & 0x7F);
    const bool small = (data[0] & 0x80) != 0;
    const std::size_t perApplication = small ? 300 : broadcast::ContentBudget::kDefaultPerAccount;
    const std::size_t total = small ? 700 : broadcast::ContentBudget::kDefaultTotal;
    const std::span<const std::uint8_t> stream(data + 1, size - 1);
    broadcast::TpegServiceDecoder decoder(perApplication, total);
    TouchingObserver observer;
    for (std::size_t offset = 0; offset < stream.size(); offset += chunk) {
        // The clock moves on with the stream, so messages also expire while it is decoded.
        decoder.Push(stream.subspan(offset, std::min(chunk, stream.size() - offset)), observer,
                     static_cast<std::int64_t>(offset) << 20);
        if (decoder.Stats().heldContentBytes > total) {
            __builtin_trap();
        }
    }
    static_cast<void>(observer.Sum());

    broadcast::SniTable sni;
    static_cast<void>(broadcast::ParseSni(stream, sni));
    return 0;
}
