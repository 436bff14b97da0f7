#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

using testsupport::ChildProcess;

namespace {

TEST(DebugOutput, LinesOfConcurrentThreadsNeverMix) {
    testsupport::TempDir dir;
    std::string log = dir / "debug.log";
    ChildProcess writer("platform_helper", {"log", "4", "500"}, {{"DMBTPEG_LOG", log}});
    ASSERT_EQ(writer.Wait(std::chrono::seconds(60)), 0) << writer.Errors();

    std::ifstream in(log, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    int count = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(pos, end - pos);
        ASSERT_EQ(line.size(), 64u) << line;
        char fill = line[4];
        EXPECT_EQ(line.substr(0, 4), std::string("[") + char('0' + (fill - 'a')) + "] ");
        EXPECT_EQ(line.substr(4), std::string(60, fill));
        ++count;
        pos = end + 2;
    }
    EXPECT_EQ(count, 2000);
}

TEST(DebugOutput, UnderTheJournalLinesAreEntriesInsteadOfStderrAndTheFileKeepsThem) {
    const std::string stderrText =
        "[Lumo DMB] Could not create Thread\r\n"
        "TDmbMain Fail to Connect filtersTDmbMain Filter_TF = TRUE \r\n";
    const std::string entries =
        "4 platform_helper [Lumo DMB] Could not create Thread\n"
        "4 platform_helper TDmbMain Fail to Connect filters\n"
        "6 platform_helper TDmbMain Filter_TF = TRUE \n";
    {
        ChildProcess journal("platform_helper", {"journal", "stderr"});
        ASSERT_EQ(journal.Wait(std::chrono::seconds(20)), 0);
        EXPECT_EQ(journal.Output(), entries);
        EXPECT_EQ(journal.Errors(), "");
    }
    {
        testsupport::TempDir dir;
        std::string log = dir / "debug.log";
        ChildProcess journal("platform_helper", {"journal", "stderr"}, {{"DMBTPEG_LOG", log}});
        ASSERT_EQ(journal.Wait(std::chrono::seconds(20)), 0);
        EXPECT_EQ(journal.Output(), entries);
        EXPECT_EQ(journal.Errors(), "");
        std::ifstream in(log, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        EXPECT_EQ(all.str(), stderrText);
    }
    {
        // JOURNAL_STREAM inherited by a process whose stderr is elsewhere.
        ChildProcess notJournal("platform_helper", {"journal", "stdout"});
        ASSERT_EQ(notJournal.Wait(std::chrono::seconds(20)), 0);
        EXPECT_EQ(notJournal.Output(), "");
        EXPECT_EQ(notJournal.Errors(), stderrText);
    }
}

TEST(TimeScale, InvalidValueStopsTheProgramWithAClearMessage) {
    for (const char* bad : {"0", "-1", "fast", "1.5x", "nan"}) {
        ChildProcess p("platform_helper", {"scale"}, {{"DMBTPEG_TIME_SCALE", bad}});
        EXPECT_EQ(p.Wait(std::chrono::seconds(20)), 2) << bad;
        EXPECT_NE(p.Errors().find("DMBTPEG_TIME_SCALE"), std::string::npos) << bad;
    }
    ChildProcess ok("platform_helper", {"scale"}, {{"DMBTPEG_TIME_SCALE", "0.05"}});
    EXPECT_EQ(ok.Wait(std::chrono::seconds(20)), 0);
    EXPECT_EQ(ok.Output(), "0.05\n");
}

}  // namespace
