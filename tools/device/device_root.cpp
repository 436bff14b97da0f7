#include "tools/device/device_root.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "platform/com.h"

namespace devicetool {

namespace fs = std::filesystem;

namespace {

constexpr char kPluginName[] = "libtdmbdevices.so";

fs::path PluginPath() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return self.parent_path().parent_path() / "lib" / kPluginName;
}

}  // namespace

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

bool RegisterDevicePlugin(std::string& error) {
    const fs::path plugin = PluginPath();
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
