// A dbus-daemon of our own for the cross-process benchmarks, so the figures
// never depend on (or disturb) the desktop's bus. Its address goes into
// DBUS_SESSION_BUS_ADDRESS of this process and of every process it forks.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

// A dbus-daemon of our own, so the figures never depend on (or disturb) the
// desktop's bus.
class PrivateDaemon {
  public:
    PrivateDaemon() {
        char folder[] = "/tmp/dmbtpeg-bench-XXXXXX";
        m_folder = mkdtemp(folder);
        std::ofstream(m_folder + "/bus.conf")
            << "<busconfig><type>session</type><listen>unix:path=" << m_folder
            << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
               "</policy></busconfig>\n";
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string config = "--config-file=" + m_folder + "/bus.conf";
        std::vector<char*> argv{const_cast<char*>("dbus-daemon"), config.data(),
                                const_cast<char*>("--nofork"),
                                const_cast<char*>("--print-address=1"), nullptr};
        posix_spawnp(&m_pid, "dbus-daemon", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') {
            m_address += c;
        }
        close(out[0]);
        setenv("DBUS_SESSION_BUS_ADDRESS", m_address.c_str(), 1);
        setenv("DMBTPEG_BUS", "session", 1);
    }
    ~PrivateDaemon() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        std::remove((m_folder + "/bus.conf").c_str());
        std::remove((m_folder + "/bus").c_str());
        rmdir(m_folder.c_str());
    }
    bool Ready() const { return !m_address.empty(); }

  private:
    std::string m_folder;
    std::string m_address;
    pid_t m_pid = -1;
};

}  // namespace bench
