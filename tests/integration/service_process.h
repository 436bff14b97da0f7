// The service as a process of its own, on a device root and runtime folder
// of the test's, with a fast clock.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace testsupport {

class ServiceEnvironment {
  public:
    ServiceEnvironment() {
        std::filesystem::create_directories(m_root / "SDMMC Disk/SysData");
        std::filesystem::create_directories(m_root / "Nand");
        std::filesystem::create_directories(m_runtime.Path());
    }

    std::map<std::string, std::string> Env(double timeScale = 0.02) const {
        return {{"DMBTPEG_ROOT", m_root.Path()},
                {"DMBTPEG_RUNTIME_DIR", m_runtime.Path()},
                {"DMBTPEG_TIME_SCALE", std::to_string(timeScale)},
                {"DMBTPEG_LOG", m_root / "service.log"}};
    }
    std::unique_ptr<ChildProcess> StartService(double timeScale = 0.02) const {
        return std::make_unique<ChildProcess>("dmbtpegd", std::vector<std::string>{},
                                              Env(timeScale));
    }
    std::string Log() const {
        std::ifstream in(m_root / "service.log", std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool WaitForLog(const std::string& text,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (Log().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    std::string Root(const std::string& name) const { return m_root / name; }
    const std::string& RuntimeDir() const { return m_runtime.Path(); }

  private:
    TempDir m_root;
    TempDir m_runtime;
};

}  // namespace testsupport
