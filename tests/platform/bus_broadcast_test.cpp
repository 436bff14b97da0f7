#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "platform/window.h"
#include "tests/support/bus_test.h"
#include "tests/support/message_thread.h"
#include "tests/support/time_scale.h"

using namespace platform;
using testsupport::MessageThread;
using testsupport::RecordingWindow;
using testsupport::WaitUntil;

namespace {

constexpr UINT kRebroadcast = WM_USER + 4;
constexpr UINT kNote = WM_USER + 20;
constexpr UINT kBarrier = WM_USER + 21;
constexpr std::chrono::seconds kPatience{20};

std::string Got(UINT message) {
    return "got " + std::to_string(message) + " 0\n";
}

using BusBroadcast = testsupport::BusTest;

TEST_F(BusBroadcast, ReachesEveryProcessAndTheSendersWindowsOnce) {
    RecordingWindow ours;
    MessageThread thread;
    thread.Run([&] { ours.CreateTopLevel(u"Ours"); });
    auto first = StartPeer("bus_peer", {"window", "First"});
    auto second = StartPeer("bus_peer", {"window", "Second"});

    EXPECT_TRUE(PostMessage(HWND_BROADCAST, kNote, 0, 0));
    EXPECT_TRUE(first->WaitForOutput(Got(kNote), kPatience));
    EXPECT_TRUE(second->WaitForOutput(Got(kNote), kPatience));

    // The bus delivers signals in the order it received them, so an echo of
    // our own broadcast would reach us before the broadcast the first peer
    // makes only after our send.
    EXPECT_EQ(SendMessage(FindWindow(nullptr, u"First"), kRebroadcast, kBarrier, 0), 1);
    ASSERT_TRUE(WaitUntil([&] { return ours.UserMessages().size() >= 2; }));
    EXPECT_EQ(ours.UserMessages(), (std::vector<UINT>{kNote, kBarrier}));
    EXPECT_TRUE(second->WaitForOutput(Got(kBarrier), kPatience));
    std::string firstOutput = first->Output();
    EXPECT_EQ(firstOutput.find(Got(kBarrier)), firstOutput.rfind(Got(kBarrier)))
        << "the first peer got its own broadcast twice:\n"
        << firstOutput;
}

}  // namespace
