// The broadcast environment the virtual tuner receives: the folder named by
// DMBTPEG_BROADCAST, holding one ETI recording per ensemble named by its
// frequency in kHz (183008.eti) and, to take the signal away, a file
// SIGNAL_OFF. Everything is looked up afresh at each call, so the folder may
// change while the tuner runs.
#pragma once

#include <cstdint>
#include <string>

namespace devices {

// Empty when DMBTPEG_BROADCAST is unset or empty.
std::string BroadcastFolder();

// Where the recording of `frequencyKhz` would be; empty without a folder.
std::string RecordingPath(std::int32_t frequencyKhz);

// True when `path` names a regular file.
bool RecordingExists(const std::string& path);

// True when the folder holds SIGNAL_OFF (or there is no folder at all).
bool SignalSwitchedOff();

// Where SIGNAL_OFF would be; empty without a folder. Kept by the streaming
// thread, so that it looks for the file every frame without reading the
// environment and building the path each time.
std::string SignalOffPath();
// SignalSwitchedOff for a path from SignalOffPath.
bool SignalSwitchedOff(const std::string& signalOffPath);

}  // namespace devices
