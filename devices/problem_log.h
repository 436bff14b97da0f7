// One debug line per problem, not one per frame: a problem is reported the
// first time it is seen and then stays quiet until it is resolved or the log
// is cleared (at a retune). Used by one thread at a time.
#pragma once

#include <set>
#include <string>

namespace devices {

class ProblemLog {
  public:
    // Writes "[TDMB device] <text>" when `key` has not been reported yet.
    void Report(const std::string& key, const std::string& text);
    // The problem has gone away; it is reported again if it comes back.
    void Resolve(const std::string& key);
    void Clear();

  private:
    std::set<std::string> m_reported;
};

}  // namespace devices
