#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "broadcast/sni.h"
#include "broadcast/tpeg_application.h"
#include "broadcast/tpeg_frame.h"
#include "broadcast/tpeg_frame_finder.h"

namespace broadcast {

// Receives what the service decoder finds; the defaults ignore everything.
class TpegServiceObserver {
  public:
    virtual ~TpegServiceObserver() = default;
    virtual void OnServiceInformation(ServiceId /*sid*/, const SniTable& /*sni*/) {}
    // A complete data set of one application; changed is false for a repetition of the last one.
    virtual void OnDataSet(const TpegApplication& /*app*/, std::uint8_t /*version*/,
                           std::span<const std::uint8_t> /*content*/, bool /*changed*/) {}
};

struct TpegDecodeStats {
    std::size_t transportFrames = 0;
    std::size_t streamDirectories = 0;
    std::size_t unknownFrameTypes = 0;
    std::size_t componentFrames = 0;
    std::size_t badComponentFrames = 0;  // header or data CRC, truncation
    std::size_t unknownScids = 0;        // components arriving before the SNI maps them
    std::size_t foreignAids = 0;         // AIDs that are not one of the service's applications
    std::size_t badMessages = 0;
    std::size_t skippedBytes = 0;
    std::size_t badHeaders = 0;
    std::size_t badFrames = 0;
};

// TPEG stream -> applications' data sets: finds transport frames in arbitrary chunks, maps
// component frames to applications through the SNI's fast-tuning table and assembles each
// application's data set. Corrupt frames are counted and skipped.
class TpegServiceDecoder {
  public:
    void Push(std::span<const std::uint8_t> bytes, TpegServiceObserver& observer);
    TpegDecodeStats Stats() const;

  private:
    void HandleServiceFrame(std::span<const std::uint8_t> serviceFrame,
                            TpegServiceObserver& observer);
    void HandleComponent(const ComponentFrameView& frame, TpegServiceObserver& observer);

    TransportFrameFinder m_finder;
    SniTable m_sni;
    bool m_haveSni = false;
    ServiceId m_sid;
    std::array<DataSetAssembler, kTpegApplicationCount> m_sets;
    TpegDecodeStats m_stats;
};

}  // namespace broadcast
