// Child processes for tests: start a program with extra environment, read its
// output, stop it, and find the project's own executables.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Folder of the running test executable (build/bin), where every program of
// the project is built.
std::string BinDir();

// The full path of a program found on PATH, or empty.
std::string FindOnPath(const std::string& name);

class ChildProcess {
  public:
    // Starts `program` (a path, or a name looked up in BinDir()) with `args`.
    // `env` entries are added to (or replace those of) this process's
    // environment. Standard output and error go to files readable through
    // Output() and Errors().
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Running();
    // Exit status, or nullopt if it has not ended within `timeout`; a signal
    // death is reported as 128 + signal.
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    void Signal(int signal);
    // Everything written so far.
    std::string Output() const;
    std::string Errors() const;
    // Waits until Output() contains `text`.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;

  private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
    std::string m_outPath;
    std::string m_errPath;
};

}  // namespace testsupport
