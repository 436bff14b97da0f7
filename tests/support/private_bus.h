// A private dbus-daemon for a test: started with a temporary configuration,
// stopped with the object. While it lives, DBUS_SESSION_BUS_ADDRESS points
// at it (and DMBTPEG_BUS selects the session bus), so both this process and
// every child process started meanwhile use it and never the developer's own
// bus.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace testsupport {

class PrivateBus {
  public:
    // Throws std::runtime_error when the daemon does not come up.
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& Address() const { return m_address; }
    // Stops the daemon now, as if the bus went away.
    void Stop();

  private:
    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_daemon;
    std::string m_address;
    std::optional<ScopedEnv> m_addressEnv;
    std::optional<ScopedEnv> m_busEnv;
};

// Path of a program found in PATH, or the name itself when none is.
std::string FindProgram(const std::string& name);

}  // namespace testsupport
