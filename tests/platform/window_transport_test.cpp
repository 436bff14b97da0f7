#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/window_transport.h"
#include "tests/support/message_thread.h"
#include "tests/support/time_scale.h"

using namespace platform;
using testsupport::MessageThread;
using testsupport::RecordingWindow;
using testsupport::WaitUntil;

namespace {

constexpr UINT kAsk = WM_USER + 1;
constexpr UINT kBack = WM_USER + 2;
constexpr UINT kNote = WM_USER + 3;

// Plays the bus: remote handles stand for windows of a simulated second
// process, which in this test are local windows reached only through the
// transport. Deliveries run on a bus thread of its own, as they would when
// they arrive from the connection.
class FakeTransport : public WindowTransport {
  public:
    FakeTransport() : m_bus([this] { RunBus(); }) {}
    ~FakeTransport() override {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_bus.join();
    }

    void Expose(std::uint32_t index, HWND local, std::u16string title) {
        std::lock_guard lock(m_mutex);
        m_peers[index] = Peer{local, std::move(title)};
    }

    bool IsWindow(HWND remote) override { return platform::IsWindow(Local(remote)) != FALSE; }
    bool GetWindowText(HWND remote, std::u16string* title) override {
        std::lock_guard lock(m_mutex);
        auto it = m_peers.find(RemoteWindowIndex(remote));
        if (it == m_peers.end()) {
            return false;
        }
        *title = it->second.title;
        return true;
    }
    HWND FindWindow(LPCWSTR, LPCWSTR title) override {
        std::lock_guard lock(m_mutex);
        for (const auto& [index, peer] : m_peers) {
            if (title != nullptr && peer.title == title) {
                return MakeRemoteWindow(index);
            }
        }
        return nullptr;
    }
    bool PostMessage(HWND remote, UINT message, WPARAM wParam, LPARAM lParam) override {
        HWND local = Local(remote);
        OnBus([=] { DeliverPostedMessage(local, message, wParam, lParam); });
        return local != nullptr;
    }
    LRESULT SendMessage(HWND remote, UINT message, WPARAM wParam, LPARAM lParam) override {
        InboundSend inbound{Local(remote), message, wParam, lParam, 0, {}};
        if (message == WM_COPYDATA) {
            const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            const auto* bytes = static_cast<const BYTE*>(record->lpData);
            inbound.copyDataKind = record->dwData;
            inbound.copyData.assign(bytes, bytes + record->cbData);
            inbound.lParam = 0;
        }
        SendReply reply;
        OnBus([inbound = std::move(inbound), reply]() mutable {
            DeliverSentMessage(std::move(inbound), [reply](LRESULT r) { reply.Complete(r); });
        });
        WaitForReply(reply);
        return reply.Result();
    }
    bool SendMessageTimeout(HWND, UINT, WPARAM, LPARAM, UINT, DWORD, LRESULT*) override {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    void PostBroadcast(UINT message, WPARAM, LPARAM) override {
        std::lock_guard lock(m_mutex);
        m_broadcasts.push_back(message);
    }
    UINT RegisterWindowMessage(std::u16string_view name) override {
        return name == u"Agreed" ? 0xC321 : 0;
    }
    void OnWindowTitleChanged(HWND window, std::u16string_view title) override {
        std::lock_guard lock(m_mutex);
        m_names[window] = std::u16string(title);
        m_events.push_back(u"title " + std::u16string(title));
    }
    void OnWindowDestroyed(HWND window) override {
        std::lock_guard lock(m_mutex);
        m_events.push_back(u"gone " + m_names[window]);
    }

    std::vector<UINT> Broadcasts() {
        std::lock_guard lock(m_mutex);
        return m_broadcasts;
    }
    std::vector<std::u16string> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

  private:
    struct Peer {
        HWND local;
        std::u16string title;
    };

    HWND Local(HWND remote) {
        std::lock_guard lock(m_mutex);
        auto it = m_peers.find(RemoteWindowIndex(remote));
        return it == m_peers.end() ? nullptr : it->second.local;
    }
    void OnBus(std::function<void()> work) {
        {
            std::lock_guard lock(m_mutex);
            m_work.push_back(std::move(work));
        }
        m_wake.notify_all();
    }
    void RunBus() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_work.empty(); });
            if (m_work.empty()) {
                return;
            }
            auto work = std::move(m_work.front());
            m_work.pop_front();
            lock.unlock();
            work();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_stopping = false;
    std::map<std::uint32_t, Peer> m_peers;
    std::map<HWND, std::u16string> m_names;
    std::vector<std::u16string> m_events;
    std::vector<UINT> m_broadcasts;
    std::thread m_bus;
};

class WindowTransportSeam : public testing::Test {
  protected:
    WindowTransportSeam() { InstallWindowTransport(&m_transport); }
    ~WindowTransportSeam() override { InstallWindowTransport(nullptr); }

    static constexpr std::uint32_t kPeer = 1;
    static constexpr std::uint32_t kOurs = 2;
    FakeTransport m_transport;
};

TEST_F(WindowTransportSeam, RemoteSendHandlesSendsBackToTheWaitingThread) {
    RecordingWindow ours([](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
        return message == kBack ? std::optional<LRESULT>(5) : std::nullopt;
    });
    RecordingWindow peer([](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (message == kAsk) {
            return SendMessage(MakeRemoteWindow(kOurs), kBack, 0, 0) * 10;
        }
        return std::nullopt;
    });
    MessageThread ourThread;
    MessageThread peerThread;
    ourThread.Run([&] { ours.CreateTopLevel(nullptr); });
    peerThread.Run([&] { peer.CreateTopLevel(nullptr); });
    m_transport.Expose(kPeer, peer.GetHwnd(), u"Peer");
    m_transport.Expose(kOurs, ours.GetHwnd(), u"Ours");

    LRESULT result = -1;
    ourThread.Run([&] { result = SendMessage(MakeRemoteWindow(kPeer), kAsk, 0, 0); });
    EXPECT_EQ(result, 50);
    EXPECT_EQ(ours.UserMessages(), std::vector<UINT>{kBack});
}

TEST_F(WindowTransportSeam, CopyDataArrivesAsACopyValidDuringTheCall) {
    std::string received;
    const void* seenAddress = nullptr;
    RecordingWindow peer([&](UINT message, WPARAM, LPARAM lParam) -> std::optional<LRESULT> {
        if (message == WM_COPYDATA) {
            const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            seenAddress = record->lpData;
            received.assign(static_cast<const char*>(record->lpData), record->cbData);
            return static_cast<LRESULT>(record->dwData);
        }
        return std::nullopt;
    });
    MessageThread peerThread;
    peerThread.Run([&] { peer.CreateTopLevel(nullptr); });
    m_transport.Expose(kPeer, peer.GetHwnd(), u"Peer");
    char bytes[] = "file announcement";
    COPYDATASTRUCT record{77, sizeof(bytes), bytes};
    EXPECT_EQ(
        SendMessage(MakeRemoteWindow(kPeer), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record)),
        77);
    EXPECT_EQ(received, std::string(bytes, sizeof(bytes)));
    EXPECT_NE(seenAddress, static_cast<const void*>(bytes));
    EXPECT_FALSE(PostMessage(MakeRemoteWindow(kPeer), WM_COPYDATA, 0, 0));
}

TEST_F(WindowTransportSeam, InboundSendToAGoneWindowIsAnsweredZero) {
    std::optional<LRESULT> answer;
    DeliverSentMessage(InboundSend{reinterpret_cast<HWND>(0x9990), kAsk, 0, 0, 0, {}},
                       [&](LRESULT r) { answer = r; });
    EXPECT_EQ(answer, 0);
}

TEST_F(WindowTransportSeam, RemoteWindowsAreFoundReadAndPostedToThroughTheTransport) {
    RecordingWindow peer;
    MessageThread peerThread;
    peerThread.Run([&] { peer.CreateTopLevel(nullptr); });
    m_transport.Expose(kPeer, peer.GetHwnd(), u"Navigation");
    HWND remote = FindWindow(nullptr, u"Navigation");
    EXPECT_EQ(remote, MakeRemoteWindow(kPeer));
    EXPECT_TRUE(IsRemoteWindow(remote));
    EXPECT_TRUE(IsWindow(remote));
    EXPECT_FALSE(IsWindow(MakeRemoteWindow(3)));
    WCHAR title[32];
    EXPECT_EQ(GetWindowText(remote, title, 32), 10);
    EXPECT_TRUE(PostMessage(remote, kNote, 0, 0));
    EXPECT_TRUE(WaitUntil([&] { return peer.UserMessages() == std::vector<UINT>{kNote}; }));
}

TEST_F(WindowTransportSeam, BroadcastsGoBothWays) {
    RecordingWindow local;
    MessageThread thread;
    thread.Run([&] { local.CreateTopLevel(u"local"); });
    PostMessage(HWND_BROADCAST, kNote, 0, 0);
    EXPECT_EQ(m_transport.Broadcasts(), std::vector<UINT>{kNote});
    DeliverBroadcast(kNote + 1, 0, 0);
    EXPECT_TRUE(WaitUntil([&] {
        return local.UserMessages() == std::vector<UINT>{kNote, kNote + 1};
    }));
    EXPECT_EQ(m_transport.Broadcasts().size(), 1u) << "incoming broadcasts are not echoed";
}

TEST_F(WindowTransportSeam, TitledTopLevelWindowsAreAnnounced) {
    RecordingWindow titled;
    RecordingWindow untitled;
    MessageThread thread;
    thread.Run([&] {
        titled.CreateTopLevel(u"Navi");
        untitled.CreateTopLevel(nullptr);
        SetWindowText(titled.GetHwnd(), u"Navi2");
        DestroyWindow(untitled.GetHwnd());
        DestroyWindow(titled.GetHwnd());
    });
    EXPECT_EQ(m_transport.Events(),
              (std::vector<std::u16string>{u"title Navi", u"title Navi2", u"gone Navi2"}));
}

TEST_F(WindowTransportSeam, ALateTransportHearsOfExistingTitledWindows) {
    InstallWindowTransport(nullptr);
    RecordingWindow titled;
    MessageThread thread;
    thread.Run([&] { titled.CreateTopLevel(u"Early"); });
    FakeTransport late;
    InstallWindowTransport(&late);
    thread.Stop();
    InstallWindowTransport(&m_transport);
    EXPECT_EQ(late.Events(), (std::vector<std::u16string>{u"title Early", u"gone Early"}));
}

TEST_F(WindowTransportSeam, TheTransportNumbersRegisteredMessages) {
    EXPECT_EQ(RegisterWindowMessage(u"Agreed"), 0xC321u);
    EXPECT_EQ(RegisterWindowMessage(u"agreed"), 0xC321u);
}

TEST(WindowTransportAbsent, RemoteHandlesAreUnknown) {
    HWND remote = MakeRemoteWindow(1);
    EXPECT_EQ(SendMessage(remote, kAsk, 0, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostMessage(remote, kAsk, 0, 0));
    EXPECT_FALSE(IsWindow(remote));
    EXPECT_FALSE(IsRemoteWindow(HWND_BROADCAST));
    EXPECT_FALSE(IsRemoteWindow(HWND_TOPMOST));
}

}  // namespace
