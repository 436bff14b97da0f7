// One debug line per problem, not one per frame: a problem is reported the
// first time it is seen and then stays quiet until it is resolved or the log
// is cleared (at a retune). Used by one thread at a time.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>

namespace devices {

class ProblemLog {
  public:
    // Writes "[TDMB device] <text>" when `key` has not been reported yet.
    // A problem already reported costs a look-up and no allocation, as it may
    // be reported every frame.
    void Report(std::string_view key, std::string_view text);
    // The problem has gone away; it is reported again if it comes back.
    void Resolve(std::string_view key);
    void Clear();

  private:
    std::set<std::string, std::less<>> m_reported;
};

}  // namespace devices
