#include <gtest/gtest.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <variant>
#include <vector>

#include "platform/bus_names.h"
#include "platform/bus_window_calls.h"
#include "platform/window_messages.h"
#include "platform/window_transport.h"

using namespace platform;

namespace {

// Messages are built on a started bus whose peer never answers: what the readers decide does
// not depend on a bus daemon.
class BusWindowCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds), 0);
        ASSERT_GE(sd_bus_new(&m_bus), 0);
        ASSERT_GE(sd_bus_set_fd(m_bus, m_fds[0], m_fds[0]), 0);
        ASSERT_GE(sd_bus_start(m_bus), 0);
    }
    void TearDown() override {
        for (sd_bus_message* message : m_messages) {
            sd_bus_message_unref(message);
        }
        sd_bus_close_unref(m_bus);
        ::close(m_fds[1]);
    }

    sd_bus_message* Call(const char* member) {
        sd_bus_message* message = nullptr;
        EXPECT_GE(
            sd_bus_message_new_method_call(m_bus, &message, nullptr, "/org/dmbtpeg/windows/w10003",
                                           kWindowInterface, member),
            0);
        m_messages.push_back(message);
        return message;
    }
    sd_bus_message* Plain(const char* member, UINT number, bool expectReply = true) {
        sd_bus_message* message = Call(member);
        EXPECT_GE(sd_bus_message_append(message, "utx", std::uint32_t{number}, std::uint64_t{1},
                                        std::int64_t{2}),
                  0);
        EXPECT_GE(sd_bus_message_set_expect_reply(message, expectReply), 0);
        EXPECT_GE(sd_bus_message_seal(message, 1, 0), 0);
        return message;
    }
    sd_bus_message* CopyData(std::size_t size, std::uint32_t byteCount, bool expectReply = true) {
        sd_bus_message* message = Call("SendCopyData");
        EXPECT_GE(sd_bus_message_set_expect_reply(message, expectReply), 0);
        std::vector<std::uint8_t> bytes(size, 7);
        EXPECT_GE(
            sd_bus_message_append(message, "ttu", std::uint64_t{1}, std::uint64_t{2}, byteCount),
            0);
        EXPECT_GE(sd_bus_message_append_array(message, 'y', bytes.data(), bytes.size()), 0);
        EXPECT_GE(sd_bus_message_seal(message, 1, 0), 0);
        return message;
    }

    int m_fds[2] = {-1, -1};
    sd_bus* m_bus = nullptr;
    std::vector<sd_bus_message*> m_messages;
};

const BusRefusal* Refusal(const IncomingMessage& read) {
    return std::get_if<BusRefusal>(&read);
}

TEST_F(BusWindowCalls, CopyDataIsTakenUpToTheLimitAndOnlyWithItsCount) {
    IncomingMessage full = ReadSendCopyDataCall(CopyData(kMaxCopyDataBytes, kMaxCopyDataBytes));
    ASSERT_EQ(Refusal(full), nullptr);
    const InboundSend& inbound = std::get<InboundSend>(full);
    EXPECT_EQ(inbound.message, WM_COPYDATA);
    EXPECT_EQ(inbound.copyDataKind, 2u);
    EXPECT_EQ(inbound.copyData.size(), kMaxCopyDataBytes);

    IncomingMessage tooLarge =
        ReadSendCopyDataCall(CopyData(kMaxCopyDataBytes + 1, kMaxCopyDataBytes + 1));
    const BusRefusal* over = Refusal(tooLarge);
    ASSERT_NE(over, nullptr);
    EXPECT_STREQ(over->errorName, "org.freedesktop.DBus.Error.LimitsExceeded");

    EXPECT_NE(Refusal(ReadSendCopyDataCall(CopyData(3, 4))), nullptr);
    IncomingMessage empty = ReadSendCopyDataCall(CopyData(0, 0));
    ASSERT_EQ(Refusal(empty), nullptr);
    EXPECT_TRUE(std::get<InboundSend>(empty).copyData.empty());
}

// The filter checks signatures before dispatch; the readers must not rely on it, because a
// broadcast passes no filter and sd-bus would read the leading arguments of a longer list.
TEST_F(BusWindowCalls, ReadersRefuseArgumentsBeyondTheirOwn) {
    sd_bus_message* longer = Call("Send");
    ASSERT_GE(sd_bus_message_append(longer, "utxs", std::uint32_t{WM_USER}, std::uint64_t{1},
                                    std::int64_t{2}, "more"),
              0);
    ASSERT_GE(sd_bus_message_seal(longer, 1, 0), 0);
    EXPECT_NE(Refusal(ReadSendCall(longer)), nullptr);
    EXPECT_NE(Refusal(ReadPostCall(longer)), nullptr);
    EXPECT_NE(Refusal(ReadBroadcast(longer)), nullptr);

    sd_bus_message* pointers = Call("Send");
    ASSERT_GE(sd_bus_message_append(pointers, "utx", std::uint32_t{WM_COPYDATA}, std::uint64_t{0},
                                    std::int64_t{0}),
              0);
    ASSERT_GE(sd_bus_message_seal(pointers, 1, 0), 0);
    EXPECT_NE(Refusal(ReadSendCall(pointers)), nullptr);
}

// A number the process keeps to itself is refused from outside however it comes, while its
// neighbours still pass.
TEST_F(BusWindowCalls, MessagesKeptInProcessAreRefusedFromOtherProcesses) {
    constexpr UINT kOwn = WM_USER + 0x3A5;
    EXPECT_EQ(Refusal(ReadSendCall(Plain("Send", kOwn))), nullptr);
    ASSERT_TRUE(KeepMessageInProcess(kOwn));
    EXPECT_TRUE(IsKeptInProcess(kOwn));
    EXPECT_NE(Refusal(ReadSendCall(Plain("Send", kOwn))), nullptr);
    EXPECT_NE(Refusal(ReadPostCall(Plain("Post", kOwn))), nullptr);
    EXPECT_NE(Refusal(ReadBroadcast(Plain("Send", kOwn))), nullptr);
    EXPECT_EQ(Refusal(ReadSendCall(Plain("Send", kOwn + 1))), nullptr);
}

// Only a thread ends its own loop, so WM_QUIT never comes from outside, however it is sent.
TEST_F(BusWindowCalls, QuitIsRefusedFromOtherProcesses) {
    EXPECT_NE(Refusal(ReadSendCall(Plain("Send", WM_QUIT))), nullptr);
    EXPECT_NE(Refusal(ReadPostCall(Plain("Post", WM_QUIT))), nullptr);
    EXPECT_NE(Refusal(ReadBroadcast(Plain("Send", WM_QUIT))), nullptr);
    EXPECT_EQ(Refusal(ReadPostCall(Plain("Post", WM_CLOSE))), nullptr);
}

// The bus bounds only the replies a caller waits for: a send nobody waits for is refused, while
// a post never expects one.
TEST_F(BusWindowCalls, SendsExpectingNoReplyAreRefused) {
    EXPECT_NE(Refusal(ReadSendCall(Plain("Send", WM_USER, false))), nullptr);
    EXPECT_NE(Refusal(ReadSendCopyDataCall(CopyData(3, 3, false))), nullptr);
    EXPECT_EQ(Refusal(ReadPostCall(Plain("Post", WM_USER, false))), nullptr);
}

}  // namespace
