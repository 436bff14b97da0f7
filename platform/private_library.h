// Where a program finds the libraries it loads by name at run time (the
// decoder libraries, the device plugin): the project's private library
// folder, located from the program's own path so the tree works under any
// install prefix and in the build folder.
#pragma once

#include <string>

namespace platform {

// The path of `file` in the first of these folders that holds it: the
// installed private library folder relative to the program's folder (set at
// configure time), then `../lib` next to the program (the build folder's
// layout). When neither has it, `file` unchanged, for the loader's own search.
std::string PrivateLibraryPath(const std::string& file);

}  // namespace platform
