// Laying out a device root: the memory card's and the flash's folders, and the
// device plugin registered in the root's registry.
#pragma once

#include <string>

namespace devicetool {

// Creates ROOT, ROOT/Nand and, with `withCard`, ROOT/SDMMC Disk/SysData.
bool CreateFolders(const std::string& root, bool withCard, std::string& error);

// Loads the device plugin (the virtual tuner's, or with `sdr` the SDR
// tuner's) from the private library folder and calls its DllRegisterServer;
// DMBTPEG_ROOT must already name the root.
bool RegisterDevicePlugin(bool sdr, std::string& error);

// Where the SDR tuner receives from (file:DIR, rtl_tcp:HOST:PORT, rtlsdr[:N]).
bool SetTunerSource(const std::string& source, std::string& error);

// The TPEG library's settings (decoders/tpeg_settings.h) in the registry of
// the root DMBTPEG_ROOT names. fileName is one of the ten data files (any
// letter case); aids is checked as the library will read it.
bool SetApplicationAids(const std::string& fileName, const std::string& aids, std::string& error);
// ms in decimal, 0 for no interval.
bool SetWriteInterval(const std::string& ms, std::string& error);

}  // namespace devicetool
