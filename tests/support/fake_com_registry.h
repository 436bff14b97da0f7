// An in-memory stand-in for the registry entries COM and the filter graph use.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/com_registry_lookup.h"
#include "platform/hresult.h"

namespace testsupport {

class FakeComRegistry final : public platform::ComRegistryLookup {
  public:
    std::optional<std::string> InprocServerPath(platform::REFCLSID clsid) override {
        std::lock_guard lock(m_mutex);
        auto it = m_servers.find(platform::GuidToString(clsid));
        return it != m_servers.end() ? std::optional(it->second) : std::nullopt;
    }
    platform::HRESULT SetInprocServerPath(platform::REFCLSID clsid,
                                          const std::string& libraryPath) override {
        std::lock_guard lock(m_mutex);
        m_servers[platform::GuidToString(clsid)] = libraryPath;
        return platform::S_OK;
    }
    std::optional<platform::DWORD> ThreadPriority(std::u16string_view valueName) override {
        std::lock_guard lock(m_mutex);
        auto it = m_priorities.find(std::u16string(valueName));
        return it != m_priorities.end() ? std::optional(it->second) : std::nullopt;
    }
    void SetThreadPriority(std::u16string valueName, platform::DWORD priority) {
        std::lock_guard lock(m_mutex);
        m_priorities[std::move(valueName)] = priority;
    }

  private:
    std::mutex m_mutex;
    std::map<std::string, std::string> m_servers;
    std::map<std::u16string, platform::DWORD> m_priorities;
};

}  // namespace testsupport
