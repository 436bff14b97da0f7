#include "tests/support/private_bus.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::string candidate = folder + "/" + name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return name;
}

PrivateBus::PrivateBus() {
    std::string config = m_dir / "bus.conf";
    {
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:path="
            << (m_dir / "bus")
            << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
    }
    m_daemon = std::make_unique<ChildProcess>(
        FindProgram("dbus-daemon"),
        std::vector<std::string>{"--config-file=" + config, "--nofork", "--print-address=1"});
    if (!m_daemon->WaitForOutput("\n", std::chrono::seconds(20))) {
        throw std::runtime_error("dbus-daemon did not start: " + m_daemon->Errors());
    }
    std::string output = m_daemon->Output();
    m_address = output.substr(0, output.find('\n'));
    m_addressEnv.emplace("DBUS_SESSION_BUS_ADDRESS", m_address);
    m_busEnv.emplace("DMBTPEG_BUS", "session");
}

PrivateBus::~PrivateBus() {
    Stop();
}

void PrivateBus::Stop() {
    if (m_daemon) {
        m_daemon->Signal(SIGTERM);
        m_daemon->Wait(std::chrono::seconds(10));
        m_daemon.reset();
    }
}

}  // namespace testsupport
