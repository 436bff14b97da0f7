#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"
#include "tests/support/temp_dir.h"

using namespace platform;

namespace {

class CapturingJournal : public JournalWriter {
  public:
    void Send(int priority, std::string_view identifier, std::string_view message) override {
        std::lock_guard lock(m_mutex);
        m_entries.push_back(std::to_string(priority) + " " + std::string(identifier) + " " +
                            std::string(message));
    }
    std::vector<std::string> Entries() const {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_entries;
};

TEST(JournalSink, OneEntryPerLineReadingAsOnStderrWithoutTheLineEnd) {
    CapturingJournal journal;
    JournalSink sink(journal, "dmbtpegd");
    sink.Write(u"[Lumo DMB] mTsPlayer.CreateGraphBuilder OK!\r\n");
    sink.Write(u"TPEG data file written: a.tpg (9 bytes)\r\ndmbtpeg bus: b answers again\n");
    // Without a line end: an entry of its own, never continued by the next
    // write, and a line end starting the next write adds no empty entry.
    sink.Write(u"TDmbMain Fail to Connect filters");
    sink.Write(u"[Lumo DMB] Could not create Thread\r\n");
    sink.Write(u"[Lumo DMB] Could not create Filter Graph");
    sink.Write(u"\r\n ##### ROVANGO END !!! ##### \r\n");
    sink.Write(u"");
    sink.Write(u"\r\n [LUMO DMB TPEG] SetBSTpeg Running - skipped\r\n\r\n");
    sink.Write(u"Tpeg decoder 초기화 에러\r\n");
    EXPECT_EQ(journal.Entries(), (std::vector<std::string>{
                                     "6 dmbtpegd [Lumo DMB] mTsPlayer.CreateGraphBuilder OK!",
                                     "6 dmbtpegd TPEG data file written: a.tpg (9 bytes)",
                                     "6 dmbtpegd dmbtpeg bus: b answers again",
                                     "4 dmbtpegd TDmbMain Fail to Connect filters",
                                     "4 dmbtpegd [Lumo DMB] Could not create Thread",
                                     "4 dmbtpegd [Lumo DMB] Could not create Filter Graph",
                                     "6 dmbtpegd  ##### ROVANGO END !!! ##### ",
                                     "6 dmbtpegd  [LUMO DMB TPEG] SetBSTpeg Running - skipped",
                                     "4 dmbtpegd Tpeg decoder 초기화 에러",
                                 }));
}

TEST(JournalPriority, LinesReportingTroubleAreWarnings) {
    for (const char* line :
         {"TPEG data file not written: /x/a.tpg (error 28)", "[Lumo DMB] FAIL to create a thread. ",
          "dmbtpeg: cannot save registry hive /x", "[TDMBPlayer] Couldn't create registry key",
          "TPEG file not delivered: [Rovan] did not answer",
          "Thread priority 3 (nice -5) refused; keeping the current one",
          "[Lumo DMB] bus connection lost: the service ends to be started again",
          "[Lumo DMB] channel scan aborted: the channel list is kept",
          "Tpeg Decoder SetTSP 실패"}) {
        EXPECT_EQ(JournalPriority(line), LOG_WARNING) << line;
    }
    for (const char* line :
         {"TPEG data file written: /x/a.tpg (312 bytes)", "[Lumo DMB TEPG] Auto Scan Start! ",
          "Tpeg data file folder 생성완료", ""}) {
        EXPECT_EQ(JournalPriority(line), LOG_INFO) << line;
    }
}

TEST(JournalStream, OnlyTheStreamSystemdNamesIsTheJournal) {
    testsupport::TempDir dir;
    int fd = ::open((dir / "stream").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    auto value = [](unsigned long long device, unsigned long long inode) {
        return std::to_string(device) + ":" + std::to_string(inode);
    };
    EXPECT_TRUE(IsJournalStream(value(st.st_dev, st.st_ino).c_str(), fd));
    EXPECT_FALSE(IsJournalStream(value(st.st_dev, st.st_ino + 1).c_str(), fd));
    EXPECT_FALSE(IsJournalStream(value(st.st_dev + 1, st.st_ino).c_str(), fd));
    EXPECT_FALSE(IsJournalStream(nullptr, fd));
    EXPECT_FALSE(IsJournalStream((value(st.st_dev, st.st_ino) + "x").c_str(), fd));
    EXPECT_FALSE(IsJournalStream(std::to_string(st.st_ino).c_str(), fd));
    ::close(fd);
}

}  // namespace
