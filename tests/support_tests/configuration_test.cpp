#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/log.h"
#include "platform/registry.h"
#include "support/configuration.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using testsupport::CapturingLogSink;

using namespace platform;

namespace {

constexpr std::u16string_view kPriorityKey = u"SOFTWARE\\Microsoft\\DirectShow\\ThreadPriority";

class Configuration : public testing::Test {
  protected:
    testsupport::TempDir m_root;
    testsupport::ScopedEnv m_env{"DMBTPEG_ROOT", m_root.Path()};
};

TEST_F(Configuration, WritesTheFivePrioritiesAndKeepsOtherValuesUntilShutdown) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kPriorityKey.data(), 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD old = 1;
    RegSetValueEx(key, u"Highest", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old), sizeof old);
    RegSetValueEx(key, u"Other", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old), sizeof old);
    RegCloseKey(key);

    SetDShowThreadPriority(true);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, kPriorityKey, u"Highest"), 247u);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, kPriorityKey, u"AboveNormal"), 248u);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, kPriorityKey, u"Normal"), 248u);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, kPriorityKey, u"BelowNormal"), 248u);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, kPriorityKey, u"Video"), 247u);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, kPriorityKey, u"Other"), 1u);

    SetDShowThreadPriority(false);
    EXPECT_FALSE(RegGetDword(HKEY_LOCAL_MACHINE, kPriorityKey, u"Other").has_value());
    HKEY parent = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\DirectShow", 0,
                           KEY_ALL_ACCESS, &parent),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft", 0, KEY_ALL_ACCESS, &parent),
              ERROR_SUCCESS);
    RegCloseKey(parent);
}

TEST_F(Configuration, UnwritableRegistryIsLoggedAndNothingElseHappens) {
    // A file where the registry folder should be makes every write fail.
    std::filesystem::create_directories(m_root.Path());
    { std::ofstream(m_root / ".registry") << "not a folder"; }
    CapturingLogSink log;
    ScopedLogSink guard(log);
    SetDShowThreadPriority(true);
    EXPECT_NE(log.Text().find("[TDMBPlayer] Couldn't create registry key\r\n"), std::string::npos);
}

}  // namespace
