// Filters and pins of one filter graph: create and add a filter by class
// identifier, find a pin by direction and name, connect and disconnect two
// named pins, detach the video window, set the audio level.
//
// Every operation returns true on success. Pins and filters handed out carry
// one reference for the receiver to release. Names are narrow strings in the
// device's code page.
#pragma once

#include <cstdint>

#include "platform/com.h"
#include "platform/dshow.h"

// Audio volume in hundredths of a decibel for each of the 16 levels.
inline constexpr long kAudioLevelTable[16] = {-10000, -5754, -3311, -1905, -1300, -1000, -900, -800,
                                              -700,   -600,  -500,  -400,  -300,  -200,  -100, 0};

class DShowHelper {
  public:
    DShowHelper();
    virtual ~DShowHelper() = default;
    DShowHelper(const DShowHelper&) = delete;
    DShowHelper& operator=(const DShowHelper&) = delete;

    // Creates the filter into `slot` and adds it to the graph under `name`.
    // A slot that already holds a filter succeeds at once.
    bool CreateFilter(const platform::CLSID& clsid, const char* name, platform::IBaseFilter** slot);
    // Finds the pin of `direction` whose name equals `name` ignoring case.
    bool FindPin(platform::IBaseFilter* filter, platform::PIN_DIRECTION direction, const char* name,
                 platform::IPin** pinOut);
    // Connects (disconnects) an output pin and an input pin, found by name.
    // Only S_OK counts as success.
    bool ConnectPins(platform::IBaseFilter* outFilter, const char* outPinName,
                     platform::IBaseFilter* inFilter, const char* inPinName);
    bool DisconnectPins(platform::IBaseFilter* outFilter, const char* outPinName,
                        platform::IBaseFilter* inFilter, const char* inPinName);
    bool DetachVideoWindow();
    // Levels of 16 and above are taken as 15.
    bool SetAudioLevel(std::uint32_t index);

    platform::IGraphBuilder* mpGraph = nullptr;  // not owned: set and cleared by the graph owner
    std::int32_t mnErrorCode = 0;                // index into kGraphErrorText
    char mszErrorText[256];
};
