#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/bus_names.h"
#include "platform/bus_transport.h"
#include "platform/bus_window_transport.h"
#include "platform/kernel.h"
#include "platform/log.h"
#include "platform/message_queue.h"
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

// The peer's messages (bus_peer.cpp).
constexpr UINT kAskBack = WM_USER + 1;
constexpr UINT kHang = WM_USER + 2;
constexpr UINT kEcho = WM_USER + 3;

constexpr std::chrono::seconds kPatience{20};

LRESULT Checksum(const std::vector<BYTE>& bytes) {
    LRESULT sum = 0;
    for (BYTE b : bytes) {
        sum = (sum * 31 + b) % 1000000007;
    }
    return sum;
}

using BusSend = testsupport::BusTest;

TEST_F(BusSend, TwoProcessesSendingToEachOtherDoNotDeadlock) {
    RecordingWindow ours([](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        return message == kEcho ? std::optional<LRESULT>(wParam + 1) : std::nullopt;
    });
    MessageThread thread;
    thread.Run([&] { ours.CreateTopLevel(u"Asker"); });
    auto peer = StartPeer("bus_peer", {"window", "Answerer", "Asker"});

    LRESULT result = 0;
    thread.Run([&] { result = SendMessage(FindWindow(nullptr, u"Answerer"), kAskBack, 4, 0); });
    EXPECT_EQ(result, 50);
    EXPECT_EQ(ours.UserMessages(), std::vector<UINT>{kEcho});
}

TEST_F(BusSend, CopyDataArrivesIntactUpToTheLimitAndLargerRecordsAreRefused) {
    auto peer = StartPeer("bus_peer", {"window", "Sink"});
    HWND sink = FindWindow(nullptr, u"Sink");
    ASSERT_NE(sink, nullptr);
    std::vector<BYTE> bytes(kMaxCopyDataBytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<BYTE>(i * 7 + i / 256);
    }
    COPYDATASTRUCT record{42, static_cast<DWORD>(bytes.size()), bytes.data()};
    EXPECT_EQ(SendMessage(sink, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record)),
              Checksum(bytes));
    EXPECT_TRUE(peer->WaitForOutput("copydata 42 65536\n", kPatience));

    COPYDATASTRUCT empty{7, 0, nullptr};
    EXPECT_EQ(SendMessage(sink, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&empty)), 0);
    EXPECT_TRUE(peer->WaitForOutput("copydata 7 0\n", kPatience));

    CapturingLogSink log;
    ScopedLogSink capture(log);
    bytes.push_back(1);
    COPYDATASTRUCT tooLarge{9, static_cast<DWORD>(bytes.size()), bytes.data()};
    EXPECT_EQ(SendMessage(sink, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&tooLarge)), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_NE(log.Text().find("65537 bytes refused"), std::string::npos) << log.Text();
    EXPECT_EQ(peer->Output().find("copydata 9"), std::string::npos);
}

TEST_F(BusSend, ASendToAReceiverKilledMidSendReturnsZero) {
    auto peer = StartPeer("bus_peer", {"window", "Hangs"});
    HWND hangs = FindWindow(nullptr, u"Hangs");
    ASSERT_NE(hangs, nullptr);
    std::atomic<bool> returned{false};
    std::atomic<LRESULT> result{-1};
    std::thread sender([&] {
        result = SendMessage(hangs, kHang, 0, 0);
        returned = true;
    });
    ASSERT_TRUE(peer->WaitForOutput("got " + std::to_string(kHang), kPatience));
    EXPECT_FALSE(returned.load());
    peer->Signal(SIGKILL);
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }));
    sender.join();
    EXPECT_EQ(result.load(), 0);
}

// Whether a send reached the stopped peer is told by what the peer printed
// once continued: the bus delivers in order, so a send that was skipped
// never shows up before the one that follows it.
TEST_F(BusSend, AHungPeerCostsOneTimeoutUntilItAnswersAgain) {
    auto peer = StartPeer("bus_peer", {"window", "Sleeper"});
    HWND sleeper = FindWindow(nullptr, u"Sleeper");
    ASSERT_NE(sleeper, nullptr);
    testsupport::ScopedTimeScale fast(0.01);
    DWORD_PTR result = 0;
    auto echo = [&](WPARAM wParam, UINT timeoutMs) {
        return SendMessageTimeout(sleeper, kEcho, wParam, 0, SMTO_ABORTIFHUNG, timeoutMs, &result);
    };
    auto got = [](WPARAM wParam) {
        return "got " + std::to_string(kEcho) + " " + std::to_string(wParam) + "\n";
    };
    peer->Signal(SIGSTOP);
    int status = 0;
    ASSERT_EQ(::waitpid(peer->Pid(), &status, WUNTRACED), peer->Pid());
    EXPECT_EQ(echo(1, 1000), 0);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_EQ(echo(2, 1000), 0);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);

    peer->Signal(SIGCONT);
    EXPECT_TRUE(WaitUntil([&] { return echo(3, INFINITE) != 0; }));
    EXPECT_EQ(result, 4u);
    ASSERT_TRUE(peer->WaitForOutput(got(3), kPatience)) << peer->Output();
    EXPECT_NE(peer->Output().find(got(1)), std::string::npos) << "handled late";
    EXPECT_EQ(peer->Output().find(got(2)), std::string::npos) << "never sent";
}

TEST_F(BusSend, PostedMessagesArriveInOrderAndPointerMessagesAndQuitStayHome) {
    auto peer = StartPeer("bus_peer", {"window", "Inbox"});
    HWND inbox = FindWindow(nullptr, u"Inbox");
    ASSERT_NE(inbox, nullptr);
    UINT note = WM_USER + 10;
    EXPECT_TRUE(PostMessage(inbox, note, 1, 0));
    EXPECT_TRUE(PostMessage(inbox, note, 2, 0));
    std::string expected =
        "got " + std::to_string(note) + " 1\ngot " + std::to_string(note) + " 2\n";
    EXPECT_TRUE(peer->WaitForOutput(expected, kPatience)) << peer->Output();

    CapturingLogSink log;
    ScopedLogSink capture(log);
    EXPECT_FALSE(PostMessage(inbox, WM_COPYDATA, 0, 0));
    EXPECT_FALSE(PostMessage(inbox, WM_TIMER, 1, 0));
    EXPECT_EQ(SendMessage(inbox, WM_SETTEXT, 0, 0), 0);
    EXPECT_FALSE(PostMessage(inbox, WM_QUIT, 0, 0));
    EXPECT_EQ(SendMessage(inbox, WM_QUIT, 0, 0), 0);
    EXPECT_EQ(SendMessage(inbox, kEcho, 9, 0), 10) << "the peer still answers";
    EXPECT_NE(log.Text().find("message 0x12 ends only the loop"), std::string::npos) << log.Text();
}

// The default procedure destroys a window on WM_CLOSE while its process lives on.
TEST_F(BusSend, HandlesOfDestroyedWindowsAndOfLeftProcessesAreForgotten) {
    auto doomedPeer = StartPeer("bus_peer", {"window", "Doomed"});
    auto otherPeer = StartPeer("bus_peer", {"window", "Other"});
    BusWindowTransport transport;
    std::string error;
    ASSERT_TRUE(transport.Start(&error)) << error;
    HWND doomed = transport.FindWindow(nullptr, u"Doomed");
    HWND other = transport.FindWindow(nullptr, u"Other");
    ASSERT_NE(doomed, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(transport.RemoteWindowCount(), 2u);

    EXPECT_EQ(transport.SendMessage(doomed, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(transport.PostMessage(doomed, kEcho, 1, 0));
    EXPECT_EQ(transport.RemoteWindowCount(), 1u);
    EXPECT_TRUE(doomedPeer->Running());

    otherPeer->Signal(SIGKILL);
    EXPECT_TRUE(WaitUntil([&] { return transport.RemoteWindowCount() == 0; }));
    EXPECT_FALSE(transport.PostMessage(other, kEcho, 1, 0));
}

TEST_F(BusSend, LosingTheBusIsToldOnceAndEndsRemoteWindowsButNotLocalOnes) {
    auto peer = StartPeer("bus_peer", {"window", "Far"});
    HWND far = FindWindow(nullptr, u"Far");
    ASSERT_NE(far, nullptr);
    RecordingWindow near([](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        return message == kEcho ? std::optional<LRESULT>(wParam + 1) : std::nullopt;
    });
    MessageThread thread;
    thread.Run([&] { near.CreateTopLevel(u"Near"); });

    std::atomic<int> lost{0};
    SetBusLostHandler([&] { ++lost; });
    struct Uninstall {
        ~Uninstall() { SetBusLostHandler(nullptr); }
    } uninstall;
    CapturingLogSink log;
    ScopedLogSink capture(log);
    m_bus.Stop();
    EXPECT_TRUE(WaitUntil([&] { return lost.load() > 0; }));
    EXPECT_FALSE(IsWindow(far));
    EXPECT_EQ(SendMessage(far, kEcho, 1, 0), 0);
    EXPECT_EQ(SendMessage(FindWindow(nullptr, u"Near"), kEcho, 1, 0), 2);
    // None of this may tell of the loss again.
    EXPECT_TRUE(PostMessage(HWND_BROADCAST, kEcho, 0, 0));
    RecordingWindow later;
    thread.Run([&] { later.CreateTopLevel(u"Later"); });
    StopBusTransport();
    EXPECT_EQ(lost.load(), 1);
    ASSERT_EQ(log.Lines().size(), 1u) << log.Text();
    EXPECT_NE(log.Text().find("lost the bus connection"), std::string::npos) << log.Text();
}

}  // namespace
