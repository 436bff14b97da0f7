#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "channels/channel_list.h"
#include "decoders/tpeg_settings.h"
#include "devices/lock_time.h"
#include "platform/registry.h"
#include "tests/support/eti_recording.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::ChildProcess;
using testsupport::TempDir;

constexpr std::uint32_t kTpegSid = 0xF1E00448;

int RunTool(const std::vector<std::string>& args, std::string* errors = nullptr) {
    ChildProcess tool("dmbtpeg-device", args);
    const auto status = tool.Wait(std::chrono::seconds(60));
    if (errors != nullptr) {
        *errors = tool.Errors();
    }
    return status.value_or(-1);
}

class DeviceTool : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testsupport::WriteEtiFrames(
            m_broadcast / "183008.eti",
            testsupport::MakeEtiFrames(testsupport::ThreeServiceEnsemble(0xE0B8, kTpegSid, 0, "8B"),
                                       8)));
    }

    TempDir m_broadcast;
    TempDir m_root;
    // The tool's scan tunes every frequency of the region.
    testsupport::ScopedEnv m_noLockTime{devices::kTunerLockVariable, "0"};
};

TEST_F(DeviceTool, InitWithScanWritesAScanFileTheServiceReads) {
    ASSERT_EQ(RunTool({"init", m_root.Path(), "--scan", m_broadcast.Path()}), 0);
    EXPECT_TRUE(std::filesystem::is_directory(m_root / "Nand"));
    ASSERT_TRUE(std::filesystem::exists(m_root / "SDMMC Disk/SysData/TDMBScan.dat"));
    EXPECT_TRUE(std::filesystem::exists(m_root / ".registry"));

    testsupport::ScopedEnv root("DMBTPEG_ROOT", m_root.Path());
    CChannelList list;
    ASSERT_TRUE(list.Load());
    EXPECT_EQ(list.mdwCountry, 82);
    ASSERT_EQ(list.Size(), 3u);
    const ChannelInfo& audio = list.At(0);
    EXPECT_EQ(audio.dwServiceType, kServiceTypeAudio);
    EXPECT_EQ(std::tuple(audio.byAudioCode, audio.dwAudioChannels, audio.dwSampleRate),
              std::tuple(22, 2, 48000));
    ChannelInfo tpeg{};
    ASSERT_TRUE(list.GetChannelInfo(tpeg));
    EXPECT_EQ(std::tuple(tpeg.dwServiceId, tpeg.dwFrequency, tpeg.dwSubChannel, tpeg.dwServiceType),
              std::tuple(kTpegSid, 183008, 3, kServiceTypeData));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(tpeg.szLabel)), "TPEG 8B");
}

TEST_F(DeviceTool, WithoutACardTheScanFileGoesToFlash) {
    ASSERT_EQ(RunTool({"init", m_root.Path(), "--no-card", "--scan", m_broadcast.Path()}), 0);
    EXPECT_FALSE(std::filesystem::exists(m_root / "SDMMC Disk"));
    EXPECT_TRUE(std::filesystem::exists(m_root / "Nand/TDMBScan.dat"));
}

TEST_F(DeviceTool, BadArgumentsGetTheUsageAndStatusTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"init"},
        {"setup", m_root.Path()},
        {"init", m_root.Path(), "--scan"},
        {"init", m_root.Path(), "--card"},
        {"aids", m_root.Path(), "TPRTM.BIN"},
        {"write-interval", m_root.Path()},
    };
    for (const auto& args : cases) {
        std::string errors;
        EXPECT_EQ(RunTool(args, &errors), 2);
        EXPECT_EQ(
            errors.rfind("usage: dmbtpeg-device init ROOT [--no-card] [--scan BROADCAST]\n", 0), 0u)
            << errors;
    }
    EXPECT_FALSE(std::filesystem::exists(m_root / "Nand"));
}

TEST_F(DeviceTool, TpegSettingsGoWhereTheLibraryReadsThem) {
    ASSERT_EQ(RunTool({"aids", m_root.Path(), "tprtm.bin", "0x0001, 5"}), 0);
    ASSERT_EQ(RunTool({"write-interval", m_root.Path(), "500"}), 0);
    EXPECT_EQ(RunTool({"aids", m_root.Path(), "TPRTM.BIN", "0x0001 x"}), 1);
    EXPECT_EQ(RunTool({"aids", m_root.Path(), "TPNONE.BIN", "1"}), 1);
    EXPECT_EQ(RunTool({"write-interval", m_root.Path(), "60001"}), 1);

    testsupport::ScopedEnv root("DMBTPEG_ROOT", m_root.Path());
    const auto aids = platform::RegGetString(platform::HKEY_LOCAL_MACHINE,
                                             decoders::kApplicationsKey, u"TPRTM.BIN");
    ASSERT_TRUE(aids);
    EXPECT_EQ(broadcast::ParseAidList(*aids), (std::vector<std::uint16_t>{0x0001, 0x0005}));
    EXPECT_EQ(platform::RegGetDword(platform::HKEY_LOCAL_MACHINE, decoders::kTpegSettingsKey,
                                    decoders::kWriteIntervalValue),
              500u);
}

TEST_F(DeviceTool, MissingBroadcastFolderFails) {
    EXPECT_EQ(RunTool({"init", m_root.Path(), "--scan", m_broadcast / "none"}), 1);
}

}  // namespace
