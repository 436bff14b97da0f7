#include <gtest/gtest.h>

#include <atomic>

#include "platform/log.h"
#include "support/thread_wrapper.h"
#include "tests/support/log_capture.h"

using testsupport::CapturingLogSink;

using namespace platform;

namespace {

class Worker : public cThread {
  public:
    Worker() { m_release = CreateEvent(nullptr, TRUE, FALSE, nullptr); }
    ~Worker() override {
        SetEvent(m_release);
        Reap(mhThread);
        Reap(mhThread2);
        CloseHandle(m_release);
    }
    std::uint32_t Run1() override {
        ++m_runs1;
        WaitForSingleObject(m_release, INFINITE);
        return 11;
    }
    std::uint32_t Run2() override {
        // A body that ends at once still finds its handle recorded.
        m_sawOwnHandle = mhThread2.load() != nullptr;
        return 22;
    }
    void Reap(std::atomic<HANDLE>& slot) {
        if (HANDLE h = slot.exchange(nullptr)) {
            WaitForSingleObject(h, INFINITE);
            CloseHandle(h);
        }
    }

    HANDLE m_release;
    std::atomic<int> m_runs1{0};
    std::atomic<bool> m_sawOwnHandle{false};
};

const std::u16string kCreate1Call =
    u" ****************cThread::Create1 Call******************* \r\n";
const std::u16string kCreateOk = u" ****************cThread::Create OK!******************* \r\n";
const std::u16string kCreate2Call =
    u" *****************cThread::Create2 Call***************** \r\n";

TEST(ThreadWrapper, SecondCreateWhileAThreadIsRecordedIsRefusedWithOnlyItsCallLine) {
    CapturingLogSink log;
    ScopedLogSink guard(log);
    Worker worker;
    EXPECT_EQ(worker.Create1(0, 0, nullptr), 1);
    EXPECT_EQ(log.Lines(), (std::vector<std::u16string>{kCreate1Call, kCreateOk}));
    log.Clear();
    EXPECT_EQ(worker.Create1(0, 0, nullptr), 0);
    EXPECT_EQ(log.Lines(), std::vector<std::u16string>{kCreate1Call});
}

TEST(ThreadWrapper, AClearedHandleAllowsANewThread) {
    Worker worker;
    ASSERT_EQ(worker.Create1(0, 0, nullptr), 1);
    SetEvent(worker.m_release);
    worker.Reap(worker.mhThread);
    ResetEvent(worker.m_release);
    EXPECT_EQ(worker.Create1(0, 0, nullptr), 1);
    SetEvent(worker.m_release);
    worker.Reap(worker.mhThread);
    EXPECT_EQ(worker.m_runs1.load(), 2);
}

TEST(ThreadWrapper, AnEndedThreadStillBlocksItsKindUntilTheOwnerClearsIt) {
    CapturingLogSink log;
    ScopedLogSink guard(log);
    Worker worker;
    ASSERT_EQ(worker.Create2(0, 0, nullptr), 1);
    EXPECT_EQ(log.Lines(), std::vector<std::u16string>{kCreate2Call});
    HANDLE second = worker.mhThread2.load();
    ASSERT_EQ(WaitForSingleObject(second, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(second, &code);
    EXPECT_EQ(code, 22u);
    EXPECT_TRUE(worker.m_sawOwnHandle.load());
    EXPECT_EQ(worker.Create2(0, 0, nullptr), 0);
    worker.Reap(worker.mhThread2);
    EXPECT_EQ(worker.Create2(0, 0, nullptr), 1);
}

TEST(ThreadWrapper, FailedCreationReturnsZeroAndRecordsNothing) {
    Worker worker;
    // Suspended creation is refused by the platform.
    EXPECT_EQ(worker.Create1(4, 0, nullptr), 0);
    EXPECT_EQ(worker.mhThread.load(), nullptr);
}

}  // namespace
