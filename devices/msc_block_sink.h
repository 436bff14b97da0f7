// The private link between the tuner's output pin and the data-acquisition
// filter's input pin: the tuner asks the connected pin for this interface and
// hands it one block of MSC data per frame on its streaming thread, preceded by
// a time block in the frames whose FIC brought the ensemble's date and time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/unknown.h"

namespace devices {

// {6A0C1F52-3B7E-4C8D-9E21-5D4F7A9B0C13}
inline constexpr platform::IID IID_IMscBlockSink = {
    0x6A0C1F52, 0x3B7E, 0x4C8D, {0x9E, 0x21, 0x5D, 0x4F, 0x7A, 0x9B, 0x0C, 0x13}};

class IMscBlockSink : public platform::IUnknown {
  public:
    static constexpr const platform::IID& kIid = IID_IMscBlockSink;
    using InterfaceBase = platform::IUnknown;

    // `data` is valid during the call only. `mscWord` is the data callback's
    // third argument: sub-channel id and what the FIC says about the tuned
    // service's TPEG component, or the time block flag
    // (broadcast/msc_data_path.h). S_FALSE when the block was dropped because
    // the receiving filter is not running.
    virtual platform::HRESULT DeliverBlock(const std::uint8_t* data, std::size_t size,
                                           std::uintptr_t mscWord, std::uint32_t frameCounter) = 0;

  protected:
    ~IMscBlockSink() = default;
};

}  // namespace devices
