#include "tools/device/device_root.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <system_error>

#include "broadcast/tpeg_application.h"
#include "decoders/tpeg_settings.h"
#include "platform/com.h"
#include "platform/private_library.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace devicetool {

namespace fs = std::filesystem;

namespace {

// The plugin registers its own path, so the registry names the installed
// library wherever the tree lives.
fs::path PluginPath(bool sdr) {
    return platform::PrivateLibraryPath(sdr ? "libtdmbsdr.so" : "libtdmbdevices.so");
}

bool SetValue(std::u16string_view key, std::u16string_view name, platform::DWORD type,
              const void* data, platform::DWORD size, std::string& error) {
    platform::HKEY handle = nullptr;
    const std::u16string keyName(key);
    const std::u16string valueName(name);
    platform::LONG result = platform::RegCreateKeyEx(
        platform::HKEY_LOCAL_MACHINE, keyName.c_str(), 0, nullptr,
        platform::REG_OPTION_NON_VOLATILE, platform::KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    if (result == platform::ERROR_SUCCESS) {
        result = platform::RegSetValueEx(handle, valueName.c_str(), 0, type,
                                         static_cast<const platform::BYTE*>(data), size);
        platform::RegCloseKey(handle);
    }
    if (result != platform::ERROR_SUCCESS) {
        error = "cannot write the registry (error " + std::to_string(result) + ")";
        return false;
    }
    return true;
}

bool SameLetters(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

}  // namespace

bool SetApplicationAids(const std::string& fileName, const std::string& aids, std::string& error) {
    const auto apps = broadcast::TpegApplications();
    const auto app = std::find_if(apps.begin(), apps.end(), [&](const auto& candidate) {
        return SameLetters(candidate.fileName, fileName);
    });
    if (app == apps.end()) {
        error = "no TPEG data file " + fileName;
        return false;
    }
    const std::u16string text = platform::FromUtf8(aids);
    if (!broadcast::ParseAidList(text)) {
        error = "not a list of hex AIDs: \"" + aids + "\"";
        return false;
    }
    const std::u16string name(app->fileName.begin(), app->fileName.end());
    return SetValue(decoders::kApplicationsKey, name, platform::REG_SZ, text.c_str(),
                    static_cast<platform::DWORD>((text.size() + 1) * sizeof(char16_t)), error);
}

bool SetWriteInterval(const std::string& ms, std::string& error) {
    platform::DWORD value = 0;
    const auto [end, ec] = std::from_chars(ms.data(), ms.data() + ms.size(), value);
    if (ms.empty() || ec != std::errc() || end != ms.data() + ms.size()) {
        error = "not a number of milliseconds: " + ms;
        return false;
    }
    if (value > decoders::kMaxWriteIntervalMs) {
        error = "at most " + std::to_string(decoders::kMaxWriteIntervalMs) + " ms";
        return false;
    }
    return SetValue(decoders::kTpegSettingsKey, decoders::kWriteIntervalValue, platform::REG_DWORD,
                    &value, sizeof value, error);
}

bool CreateFolders(const std::string& root, bool withCard, std::string& error) {
    std::error_code ec;
    fs::create_directories(fs::path(root) / "Nand", ec);
    if (!ec && withCard) {
        fs::create_directories(fs::path(root) / "SDMMC Disk" / "SysData", ec);
    }
    if (ec) {
        error = "cannot create the folders of " + root + ": " + ec.message();
        return false;
    }
    return true;
}

bool SetTunerSource(const std::string& source, std::string& error) {
    const std::u16string value = platform::FromUtf8(source);
    return SetValue(u"SOFTWARE\\dmbtpeg\\Tuner", u"Source", platform::REG_SZ, value.c_str(),
                    static_cast<platform::DWORD>((value.size() + 1) * sizeof(char16_t)), error);
}

bool RegisterDevicePlugin(bool sdr, std::string& error) {
    const fs::path plugin = PluginPath(sdr);
    // Kept loaded: COM may load the same library again for the scan, and
    // nothing is ever unloaded.
    void* library = ::dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = ::dlerror();
        error = "cannot load " + plugin.string() + ": " + (reason != nullptr ? reason : "");
        return false;
    }
    auto registerServer = reinterpret_cast<platform::DllRegisterServerFunction>(
        ::dlsym(library, "DllRegisterServer"));
    if (registerServer == nullptr) {
        error = plugin.string() + " exports no DllRegisterServer";
        return false;
    }
    const platform::HRESULT hr = registerServer();
    if (platform::FAILED(hr)) {
        error = "DllRegisterServer failed";
        return false;
    }
    return true;
}

}  // namespace devicetool
