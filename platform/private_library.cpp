#include "platform/private_library.h"

#include <limits.h>
#include <unistd.h>

#include <filesystem>

#ifndef DMBTPEG_PRIVATE_LIBDIR_FROM_BINDIR
#define DMBTPEG_PRIVATE_LIBDIR_FROM_BINDIR "../lib"
#endif

namespace platform {

namespace {

std::string ProgramFolder() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/'));
}

}  // namespace

std::string PrivateLibraryPath(const std::string& file) {
    // By full path rather than through the loader's search: which object calls
    // dlopen then does not matter (a sanitizer's interceptor, for one, would
    // search its own RUNPATH instead of the program's).
    const std::string folder = ProgramFolder();
    if (folder.empty()) {
        return file;
    }
    for (const char* relative : {DMBTPEG_PRIVATE_LIBDIR_FROM_BINDIR, "../lib"}) {
        const std::string path = folder + "/" + relative + "/" + file;
        if (::access(path.c_str(), R_OK) == 0) {
            // Without the "bin/.." the registry's entry for the plugin reads
            // as the installed path.
            return std::filesystem::path(path).lexically_normal().string();
        }
    }
    return file;
}

}  // namespace platform
