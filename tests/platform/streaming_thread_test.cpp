#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/clock.h"
#include "platform/com_ptr.h"
#include "platform/filter_base.h"
#include "platform/filter_graph.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "platform/streaming_thread.h"
#include "platform/thread_priority.h"
#include "tests/support/fake_filter.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

using testsupport::CapturingLogSink;

using namespace platform;

namespace {

class ScopedTimeScale {
  public:
    explicit ScopedTimeScale(double scale) : m_old(TimeScale()) { SetTimeScaleForTesting(scale); }
    ~ScopedTimeScale() { SetTimeScaleForTesting(m_old); }

  private:
    double m_old;
};

int CurrentThreadNice() {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

template <typename Condition>
bool WaitUntil(Condition condition) {
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Delivers a block every 24 ms while running, as the tuner does.
class PacedSource final : public FilterBase {
  public:
    PacedSource() : FilterBase(testsupport::kFakeFilterClsid) {}

    bool Streaming() const { return m_thread.IsRunning(); }

    std::atomic<int> deliveries{0};
    std::atomic<bool> stopReturned{false};
    std::atomic<bool> lateDelivery{false};

  protected:
    HRESULT OnRun(REFERENCE_TIME) override {
        return m_thread.Start([this](StreamingThread& thread) {
            while (!thread.WaitForStop(24)) {
                if (stopReturned) {
                    lateDelivery = true;
                }
                ++deliveries;
            }
        })
                   ? S_OK
                   : E_FAIL;
    }
    HRESULT OnPause(FILTER_STATE) override {
        m_thread.Stop();
        return S_OK;
    }
    HRESULT OnStop() override {
        m_thread.Stop();
        return S_OK;
    }

  private:
    StreamingThread m_thread{u"Normal"};
};

TEST(StreamingThread, NothingIsDeliveredAfterTheGraphStopOrPauseReturns) {
    ScopedTimeScale scale(0.02);
    ComPtr<IMediaControl> control;
    ASSERT_EQ(
        CreateFilterGraph(IID_IMediaControl, reinterpret_cast<void**>(control.GetAddressOf())),
        S_OK);
    auto source = MakeComObject<PacedSource>();
    ASSERT_EQ(control.As<IFilterGraph>()->AddFilter(source.Get(), u"Tuner"), S_OK);

    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return source->deliveries >= 3; }));
    ASSERT_EQ(control->Pause(), S_OK);
    EXPECT_FALSE(source->Streaming());

    ASSERT_EQ(control->Run(), S_OK);
    int resumedFrom = source->deliveries;
    ASSERT_TRUE(WaitUntil([&] { return source->deliveries >= resumedFrom + 3; }));
    ASSERT_EQ(control->Stop(), S_OK);
    source->stopReturned = true;
    EXPECT_FALSE(source->Streaming());
    int atStop = source->deliveries;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(source->deliveries, atStop);
    EXPECT_FALSE(source->lateDelivery);
}

TEST(StreamingThread, StopFromItsOwnFunctionEndsItWithoutDeadlock) {
    StreamingThread thread;
    std::atomic<bool> finished{false};
    ASSERT_TRUE(thread.Start([&](StreamingThread& self) {
        self.Stop();
        finished = self.StopRequested();
    }));
    EXPECT_FALSE(thread.Start([](StreamingThread&) {}));
    thread.Stop();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(thread.IsRunning());
    // A stopped thread may be started again.
    EXPECT_TRUE(thread.Start([](StreamingThread& self) { self.WaitForStop(INFINITE); }));
}

TEST(StreamingThread, TakesTheConfiguredPriorityOnlyWhenOneIsConfigured) {
    testsupport::TempDir root;
    testsupport::ScopedEnv env("DMBTPEG_ROOT", root.Path());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\DirectShow\\ThreadPriority",
                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD lowest = 255;
    RegSetValueEx(key, u"Normal", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&lowest),
                  sizeof lowest);
    RegCloseKey(key);
    std::atomic<int> configured{-100};
    std::atomic<int> unconfigured{-100};
    {
        StreamingThread normal(u"Normal");
        StreamingThread highest(u"Highest");
        normal.Start([&](StreamingThread&) { configured = CurrentThreadNice(); });
        highest.Start([&](StreamingThread&) { unconfigured = CurrentThreadNice(); });
    }
    EXPECT_EQ(configured, 19);
    EXPECT_EQ(unconfigured, CurrentThreadNice());
}

TEST(ThreadPriority, DeviceScaleMapsMonotonicallyAroundNormal) {
    EXPECT_EQ(NiceFromDevicePriority(kDeviceNormalPriority), 0);
    EXPECT_LT(NiceFromDevicePriority(248), NiceFromDevicePriority(250));
    EXPECT_LT(NiceFromDevicePriority(250), 0);
    EXPECT_GT(NiceFromDevicePriority(252), 0);
    EXPECT_EQ(NiceFromDevicePriority(0), -20);
    EXPECT_EQ(NiceFromDevicePriority(255), 19);
    for (DWORD p = 1; p <= 300; ++p) {
        EXPECT_LE(NiceFromDevicePriority(p - 1), NiceFromDevicePriority(p)) << p;
    }
}

TEST(ThreadPriority, ARefusedRaiseKeepsThePriorityAndIsLoggedAtMostOnce) {
    CapturingLogSink sink;
    ScopedLogSink scope(sink);
    for (int i = 0; i < 3; ++i) {
        std::thread([] {
            int before = CurrentThreadNice();
            bool raised = ApplyDevicePriorityToCurrentThread(0);
            EXPECT_EQ(CurrentThreadNice(), raised ? -20 : before);
        }).join();
    }
    EXPECT_LE(sink.Lines().size(), 1u) << sink.Text();
}

}  // namespace
