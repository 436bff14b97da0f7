#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/bus_log.h"
#include "platform/bus_names.h"
#include "platform/bus_window_transport.h"
#include "platform/log.h"
#include "platform/text.h"
#include "platform/window.h"
#include "tests/support/bus_test.h"
#include "tests/support/log_capture.h"
#include "tests/support/message_thread.h"
#include "tests/support/time_scale.h"

using testsupport::CapturingLogSink;

using namespace platform;
using testsupport::MessageThread;
using testsupport::RecordingWindow;
using testsupport::WaitUntil;

namespace {

constexpr UINT kEcho = WM_USER + 3;
constexpr UINT kBlock = WM_USER + 4;
constexpr char kTarget[] = "org.dmbtpeg.Title.Target";

// A program calling our window straight through sd-bus, on a connection of its own, without
// waiting for one answer before the next call.
class RawCaller {
  public:
    RawCaller() { EXPECT_GE(sd_bus_open_user(&m_bus), 0); }
    ~RawCaller() { sd_bus_flush_close_unref(m_bus); }
    RawCaller(const RawCaller&) = delete;
    RawCaller& operator=(const RawCaller&) = delete;

    void Send(const std::string& path, UINT message, bool expectReply = true) {
        Call(path, "Send", expectReply, [message](sd_bus_message* call) {
            return sd_bus_message_append(call, "utx", std::uint32_t{message}, std::uint64_t{0},
                                         std::int64_t{0});
        });
    }
    void SendCopyData(const std::string& path, std::size_t size, bool expectReply = true) {
        Call(path, "SendCopyData", expectReply, [size](sd_bus_message* call) {
            std::vector<std::uint8_t> bytes(size, 7);
            int result = sd_bus_message_append(call, "ttu", std::uint64_t{0}, std::uint64_t{1},
                                               static_cast<std::uint32_t>(size));
            return result < 0 ? result : sd_bus_message_append_array(call, 'y', bytes.data(), size);
        });
    }
    bool WaitForAnswers(int count) {
        return WaitUntil([&] {
            while (sd_bus_process(m_bus, nullptr) > 0) {
            }
            return m_answers >= count;
        });
    }
    int Limited() const { return m_limited; }
    std::string Name() {
        const char* name = nullptr;
        sd_bus_get_unique_name(m_bus, &name);
        return name != nullptr ? name : "";
    }

  private:
    template <typename Append>
    void Call(const std::string& path, const char* member, bool expectReply, Append append) {
        sd_bus_message* call = nullptr;
        ASSERT_GE(sd_bus_message_new_method_call(m_bus, &call, kTarget, path.c_str(),
                                                 kWindowInterface, member),
                  0);
        ASSERT_GE(append(call), 0);
        if (expectReply) {
            ASSERT_GE(sd_bus_call_async(m_bus, nullptr, call, OnReply, this, 120'000'000), 0);
        } else {
            ASSERT_GE(sd_bus_message_set_expect_reply(call, 0), 0);
            ASSERT_GE(sd_bus_send(m_bus, call, nullptr), 0);
        }
        sd_bus_message_unref(call);
    }
    static int OnReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
        auto* self = static_cast<RawCaller*>(userdata);
        ++self->m_answers;
        if (sd_bus_message_is_method_error(reply, SD_BUS_ERROR_LIMITS_EXCEEDED)) {
            ++self->m_limited;
        }
        return 0;
    }

    sd_bus* m_bus = nullptr;
    int m_answers = 0;
    int m_limited = 0;
};

// Another program, as careless or hostile as it likes, calls our window with
// busctl; every bad call gets an error reply and a log line, and the window
// keeps answering good calls.
class BusUntrustedCalls : public testsupport::BusTest {
  protected:
    void SetUp() override {
        BusTest::SetUp();
        m_thread.Run([&] { m_window.CreateTopLevel(u"Target"); });
        m_path = WindowObjectPath(m_window.GetHwnd());
    }
    void TearDown() override {
        Release();
        m_thread.Stop();
        BusTest::TearDown();
    }

    // Keeps the window's thread inside a posted message until Release, so that sends to it
    // wait.
    void Block() {
        std::unique_lock lock(m_gateLock);
        m_gateClosed = true;
        ASSERT_TRUE(PostMessage(m_window.GetHwnd(), kBlock, 0, 0));
        m_gateWake.wait(lock, [this] { return m_insideGate; });
    }
    void Release() {
        std::lock_guard lock(m_gateLock);
        m_gateClosed = false;
        m_gateWake.notify_all();
    }
    void WaitAtGate() {
        std::unique_lock lock(m_gateLock);
        m_insideGate = true;
        m_gateWake.notify_all();
        m_gateWake.wait(lock, [this] { return !m_gateClosed; });
        m_insideGate = false;
    }

    void ExpectRefused(const std::vector<std::string>& args, const std::string& reason) {
        m_log.Clear();
        std::string errors;
        std::vector<std::string> call{"call", kTarget};
        call.insert(call.end(), args.begin(), args.end());
        EXPECT_NE(Busctl(call, nullptr, &errors), 0);
        EXPECT_NE(errors.find(reason), std::string::npos) << errors;
        EXPECT_NE(m_log.Text().find("refused"), std::string::npos) << m_log.Text();
        std::string output;
        EXPECT_EQ(Busctl({"call", kTarget, m_path, kWindowInterface, "Send", "utx",
                          std::to_string(kEcho), "41", "0"},
                         &output),
                  0);
        EXPECT_EQ(output, "x 42\n") << "the window stopped answering";
    }

    RecordingWindow m_window{[this](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        if (message == kBlock) {
            WaitAtGate();
        }
        return message == kEcho ? std::optional<LRESULT>(wParam + 1) : std::nullopt;
    }};
    std::mutex m_gateLock;
    std::condition_variable m_gateWake;
    bool m_gateClosed = false;
    bool m_insideGate = false;
    MessageThread m_thread;
    std::string m_path;
    CapturingLogSink m_log;
    ScopedLogSink m_capture{m_log};
};

TEST_F(BusUntrustedCalls, WrongSignaturesAreRefused) {
    ExpectRefused({m_path, kWindowInterface, "Send", "s", "hello"},
                  "arguments 's' where 'utx' are expected");
    ExpectRefused({m_path, kWindowInterface, "SendCopyData", "tt", "1", "2"},
                  "arguments 'tt' where 'ttuay' are expected");
    ExpectRefused({"/org/dmbtpeg/windows", kWindowsInterface, "Find", "s", "Target"},
                  "arguments 's' where 'ss' are expected");
}

TEST_F(BusUntrustedCalls, UnknownPathsAndMethodsAreRefused) {
    ExpectRefused({"/org/dmbtpeg/windows/w1", kWindowInterface, "Send", "utx", "1027", "0", "0"},
                  "no such window");
    ExpectRefused({"/org/dmbtpeg/windows/wnope", kWindowInterface, "Send", "utx", "1027", "0", "0"},
                  "unknown object path");
    ExpectRefused({"/elsewhere", kWindowInterface, "Send", "utx", "1027", "0", "0"},
                  "unknown object path");
    ExpectRefused({m_path, kWindowInterface, "Destroy"}, "unknown method");
    ExpectRefused({m_path, "org.example.Other", "Send", "utx", "1027", "0", "0"},
                  "unknown interface");
}

TEST_F(BusUntrustedCalls, LyingLengthsAndOversizedPayloadsAreRefused) {
    ExpectRefused(
        {m_path, kWindowInterface, "SendCopyData", "ttuay", "0", "1", "10", "3", "1", "2", "3"},
        "byte count 10 but 3 bytes sent");
    std::vector<std::string> oversized{m_path, kWindowInterface, "SendCopyData", "ttuay", "0",
                                       "1",    "65537",          "65537"};
    oversized.insert(oversized.end(), 65537, "7");
    ExpectRefused(oversized, "65537 bytes of copy data");
    auto messages = m_window.Messages();
    EXPECT_EQ(std::find(messages.begin(), messages.end(), WM_COPYDATA), messages.end());
}

TEST_F(BusUntrustedCalls, MessagesCarryingPointersAndQuitAreRefused) {
    ExpectRefused({m_path, kWindowInterface, "Send", "utx", "12", "0", "4096"}, "carries pointers");
    ExpectRefused({m_path, kWindowInterface, "Post", "utx", "275", "1", "4096"},
                  "carries pointers");
    ExpectRefused({m_path, kWindowInterface, "Send", "utx", "74", "0", "0"}, "SendCopyData");
    ExpectRefused({m_path, kWindowInterface, "Post", "utx", "18", "0", "0"}, "WM_QUIT");
    ExpectRefused({m_path, kWindowInterface, "Send", "utx", "18", "0", "0"}, "WM_QUIT");
}

// Sends nobody waits for escape the bus daemon's bound on pending replies, so they are refused
// before they reach the window's thread.
TEST_F(BusUntrustedCalls, SendsExpectingNoReplyNeverReachTheWindow) {
    RawCaller caller;
    caller.Send(m_path, kEcho, false);
    caller.SendCopyData(m_path, 16, false);
    caller.Send(m_path, kEcho);
    ASSERT_TRUE(caller.WaitForAnswers(1));
    EXPECT_EQ(m_window.UserMessages(), std::vector<UINT>{kEcho});
    auto messages = m_window.Messages();
    EXPECT_EQ(std::find(messages.begin(), messages.end(), WM_COPYDATA), messages.end());
    EXPECT_NE(m_log.Text().find("expects no reply"), std::string::npos) << m_log.Text();
}

// A thread that is busy holds the sends of every other process for it, up to a count and a
// byte budget; beyond them sends are refused at once, and the refusal lines of one sender stay
// few however many it provokes.
TEST_F(BusUntrustedCalls, SendsWaitingForABusyThreadAreBoundedByCountAndBytes) {
    testsupport::ScopedTimeScale noSummaryDuringTheTest(1000);
    constexpr int kPerCaller = 100;
    constexpr auto kMaxSends = static_cast<int>(BusWindowTransport::kMaxWaitingSends);
    static_assert(3 * kPerCaller > kMaxSends);
    Block();
    {
        // The bus daemon lets one caller wait for a few hundred replies at most.
        RawCaller callers[3];
        for (auto& caller : callers) {
            for (int i = 0; i < kPerCaller; ++i) {
                caller.Send(m_path, kEcho);
            }
        }
        ASSERT_TRUE(WaitUntil([&] {
            int limited = 0;
            for (auto& caller : callers) {
                caller.WaitForAnswers(0);
                limited += caller.Limited();
            }
            return limited == 3 * kPerCaller - kMaxSends;
        }));
        Release();
        int limited = 0;
        for (auto& caller : callers) {
            ASSERT_TRUE(caller.WaitForAnswers(kPerCaller));
            limited += caller.Limited();
        }
        EXPECT_EQ(limited, 3 * kPerCaller - kMaxSends) << "each answered once";
    }

    constexpr int kFitting =
        static_cast<int>(BusWindowTransport::kMaxWaitingSendBytes / kMaxCopyDataBytes);
    Block();
    std::string name;
    {
        RawCaller caller;
        name = caller.Name();
        for (int i = 0; i < kFitting + 20; ++i) {
            caller.SendCopyData(m_path, kMaxCopyDataBytes);
        }
        ASSERT_TRUE(WaitUntil([&] {
            caller.WaitForAnswers(0);
            return caller.Limited() == 20;
        }));
        Release();
        ASSERT_TRUE(caller.WaitForAnswers(kFitting + 20));
        EXPECT_EQ(caller.Limited(), 20);
    }
    const std::string left = "refused 15 more calls from " + name;
    ASSERT_TRUE(WaitUntil([&] { return m_log.Text().find(left) != std::string::npos; }))
        << m_log.Text();
    auto lines = m_log.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::u16string& line) {
                                return ToUtf8(line).find(name) != std::string::npos;
                            }),
              BusRefusalLog::kFullLines + 1)
        << m_log.Text();
}

}  // namespace
