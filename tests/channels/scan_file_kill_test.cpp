#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <random>
#include <thread>

#include "tests/channels/saved_lists.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// A process saving the scan file over and over is killed with SIGKILL at
// random moments; every time, the file holds one whole list, never a mix or a
// part. The new text is written unnamed and named only just before the
// rename, so a kill almost never leaves a temporary file behind.
TEST(ScanFileSave, KilledAtRandomMomentsLeavesOneWholeList) {
    constexpr int kKills = 200;
    testsupport::TempDir root;
    fs::create_directories(root / "SDMMC Disk/SysData");
    testsupport::ScopedEnv env("DMBTPEG_ROOT", root.Path());
    std::string whole[2];
    for (int which = 0; which < 2; ++which) {
        CChannelList list;
        testchannels::FillList(list, which);
        whole[which] = list.Serialize();
    }
    ASSERT_NE(whole[0], whole[1]);

    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> delayUs(0, 3000);
    int seen[2] = {0, 0};
    for (int kill = 0; kill < kKills; ++kill) {
        testsupport::ChildProcess saver("scan_file_saver", {}, {{"DMBTPEG_ROOT", root.Path()}});
        ASSERT_TRUE(saver.WaitForOutput("saving", std::chrono::seconds(30))) << saver.Errors();
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        saver.Signal(SIGKILL);
        ASSERT_TRUE(saver.Wait(std::chrono::seconds(30)).has_value());

        CChannelList loaded;
        ASSERT_TRUE(loaded.Load()) << "kill " << kill << ": no scan file";
        const std::string text = loaded.Serialize();
        ASSERT_TRUE(text == whole[0] || text == whole[1])
            << "kill " << kill << ": a list neither saved";
        ++seen[text == whole[0] ? 0 : 1];
    }
    std::size_t leftovers = 0;
    for (const auto& entry : fs::directory_iterator(root / "SDMMC Disk/SysData")) {
        leftovers += entry.path().filename().string().starts_with(".TDMBScan.dat.tmp-") ? 1 : 0;
    }
    RecordProperty("short_list", seen[0]);
    RecordProperty("long_list", seen[1]);
    RecordProperty("temporaries_left", static_cast<int>(leftovers));
    std::printf("kills %d: short list %d, long list %d, temporaries left %zu\n", kKills, seen[0],
                seen[1], leftovers);
    EXPECT_LT(leftovers, static_cast<std::size_t>(kKills / 10));
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
}

}  // namespace
