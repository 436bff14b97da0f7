// The receiver graph: the tuner filter's "DOut" feeding the data-acquisition
// filter's "Data In", whose data callback hands every block of MSC data to
// the TDC decoder.
//
// Every operation returns true (false on failure, with its code left in the
// last error) unless said otherwise. No lock of its own: the main window, its
// tuning worker and the scan thread take turns through the main window's
// state, events and lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "graph/device_interfaces.h"
#include "graph/dshow_helper.h"

// Graph modes: the tuner alone (while scanning), or tuner and data filter.
inline constexpr std::int32_t kGraphModeScan = 0;
inline constexpr std::int32_t kGraphModeData = 2;

// GetState's codes (the graph owner's own numbers, not DirectShow's).
inline constexpr int kGraphStopped = 0;
inline constexpr int kGraphRunning = 1;
inline constexpr int kGraphPaused = 2;
inline constexpr int kGraphUndetermined = 4;

// AudioCommand commands.
inline constexpr std::uint32_t kAudioSetLevel = 0xA0000300;
inline constexpr std::uint32_t kAudioMute = 0xA0000308;

class CTsPlayer {
  public:
    // `dataCallback` is what the data-acquisition filter calls with every
    // block of MSC data once the receiver filters are connected.
    explicit CTsPlayer(MscDataCallback dataCallback = nullptr) : mpfnDataCallback(dataCallback) {}
    CTsPlayer(const CTsPlayer&) = delete;
    CTsPlayer& operator=(const CTsPlayer&) = delete;

    // Creates the graph if absent, then the tuner filter; both are reused.
    bool CreateGraphBuilder();
    // Drops the previous receiver filters and creates those of `mode`.
    bool CreateFilters(std::int32_t mode);
    // Registers the data callback and connects the receiver filters.
    bool ConnectFilters();
    bool DisconnectFilters();
    bool RemoveDataFilter();
    // Removes and releases the tuner filter, then releases the graph.
    bool ReleaseGraph();
    bool Run();
    bool Pause();
    bool Stop();
    int GetState();
    // Runs the graph (resuming a paused one); always true.
    bool Play();
    bool TogglePause();
    // Pauses then stops a started graph and detaches the video window; always true.
    bool StopGraph();
    bool SetTunerParam(std::int32_t command, TunerParam* record);
    bool GetTunerParam(std::int32_t command, TunerParam* record);
    // Audio level control; returns 0 always.
    int AudioCommand(std::uint32_t command, const std::uint32_t* value);

    std::uint32_t LastError() const { return mdwLastError.load(); }
    std::int32_t GraphMode() const { return mnGraphMode; }
    bool Connected() const { return mbConnected != 0; }

  private:
    bool MediaControl(platform::HRESULT (platform::IMediaControl::*call)());
    ITdmbTunerControl* TunerControl();

    // Written by whichever thread's call failed last.
    std::atomic<std::uint32_t> mdwLastError{0};
    MscDataCallback mpfnDataCallback;
    platform::IGraphBuilder* mpGraph = nullptr;
    platform::IBaseFilter* mpTuner = nullptr;
    platform::IBaseFilter* mpDataFilter = nullptr;
    DShowHelper mHelper;
    std::int32_t mnGraphMode = -1;
    std::int32_t mbConnected = 0;
};
