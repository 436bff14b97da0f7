// Laying out a device root: the memory card's and the flash's folders, and the
// device plugin registered in the root's registry.
#pragma once

#include <string>

namespace devicetool {

// Creates ROOT, ROOT/Nand and, with `withCard`, ROOT/SDMMC Disk/SysData.
bool CreateFolders(const std::string& root, bool withCard, std::string& error);

// Loads the device plugin from ../lib next to this program and calls its
// DllRegisterServer; DMBTPEG_ROOT must already name the root.
bool RegisterDevicePlugin(std::string& error);

// The TPEG library's settings (decoders/tpeg_settings.h) in the registry of
// the root DMBTPEG_ROOT names. fileName is one of the ten data files (any
// letter case); aids is checked as the library will read it.
bool SetApplicationAids(const std::string& fileName, const std::string& aids, std::string& error);
// ms in decimal, 0 for no interval.
bool SetWriteInterval(const std::string& ms, std::string& error);

}  // namespace devicetool
