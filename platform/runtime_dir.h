// The folder behind the session's system-wide named objects.
#pragma once

#include <string>

namespace platform {

// DMBTPEG_RUNTIME_DIR, else $XDG_RUNTIME_DIR/dmbtpeg, else /tmp/dmbtpeg-<uid>;
// read afresh at every call.
std::string RuntimeDir();

// Creates `path` and its missing parents (mode 0700); true when it exists.
bool MakeRuntimeDirs(const std::string& path);

}  // namespace platform
