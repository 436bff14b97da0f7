#include "devices/broadcast_folder.h"

#include <sys/stat.h>

#include <cstdlib>

namespace devices {

std::string BroadcastFolder() {
    const char* folder = std::getenv("DMBTPEG_BROADCAST");
    return folder != nullptr ? std::string(folder) : std::string();
}

std::string RecordingPath(std::int32_t frequencyKhz) {
    const std::string folder = BroadcastFolder();
    if (folder.empty() || frequencyKhz <= 0) {
        return {};
    }
    return folder + "/" + std::to_string(frequencyKhz) + ".eti";
}

bool RecordingExists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string SignalOffPath() {
    const std::string folder = BroadcastFolder();
    return folder.empty() ? std::string() : folder + "/SIGNAL_OFF";
}

bool SignalSwitchedOff(const std::string& signalOffPath) {
    struct stat info {};
    return signalOffPath.empty() || ::stat(signalOffPath.c_str(), &info) == 0;
}

bool SignalSwitchedOff() {
    return SignalSwitchedOff(SignalOffPath());
}

}  // namespace devices
