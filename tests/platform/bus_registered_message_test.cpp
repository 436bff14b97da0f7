#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/bus_names.h"
#include "platform/message_queue.h"
#include "platform/text.h"
#include "tests/support/bus_test.h"
#include "tests/support/temp_dir.h"

using namespace platform;

namespace {

constexpr auto kPatience = std::chrono::seconds(120);

// Each test has a session table of its own, shared with the peers it starts.
class BusRegisteredMessages : public testsupport::BusTest {
  protected:
    static std::vector<UINT> Numbers(testsupport::ChildProcess& peer) {
        EXPECT_EQ(peer.Wait(kPatience), 0) << peer.Errors();
        std::vector<UINT> numbers;
        std::istringstream lines(peer.Output());
        for (std::string line; std::getline(lines, line);) {
            numbers.push_back(static_cast<UINT>(std::stoul(line)));
        }
        return numbers;
    }
    static void WriteNames(const std::string& path, auto first, auto last) {
        std::ofstream out(path);
        for (; first != last; ++first) {
            out << *first << '\n';
        }
    }
    static UINT Register(const std::string& name) {
        auto wide = FromUtf8(name);
        return RegisterWindowMessage(wide.c_str());
    }

    testsupport::TempDir m_runtime;
    testsupport::ScopedEnv m_env{"DMBTPEG_RUNTIME_DIR", m_runtime.Path()};
};

TEST_F(BusRegisteredMessages, ManyNamesFromThreeProcessesGetOneDistinctNumberEach) {
    // Over a thousand names among 16384 numbers share many hash numbers. New
    // ones at each run, as this process keeps the numbers it was given.
    static int run = 0;
    const std::string prefix = "NAV_MESSAGE_" + std::to_string(++run) + "_";
    std::vector<std::string> names;
    for (int i = 0; i < 1200; ++i) {
        names.push_back(prefix + std::to_string(i));
    }
    WriteNames(m_runtime / "forward", names.begin(), names.end());
    WriteNames(m_runtime / "backward", names.rbegin(), names.rend());
    testsupport::ChildProcess forward("bus_peer", {"register-file", m_runtime / "forward"});
    testsupport::ChildProcess backward("bus_peer", {"register-file", m_runtime / "backward"});
    std::map<std::string, UINT> mine;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[(i * 7) % names.size()];
        mine[name] = Register(name);
    }
    ASSERT_EQ(mine.size(), names.size());
    std::vector<UINT> first = Numbers(forward);
    std::vector<UINT> second = Numbers(backward);
    ASSERT_EQ(first.size(), names.size());
    ASSERT_EQ(second.size(), names.size());

    std::set<UINT> distinct;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const UINT number = mine[names[i]];
        EXPECT_EQ(first[i], number) << names[i];
        EXPECT_EQ(second[names.size() - 1 - i], number) << names[i];
        EXPECT_GE(number, 0xC000u) << names[i];
        EXPECT_LE(number, 0xFFFFu) << names[i];
        distinct.insert(number);
    }
    EXPECT_EQ(distinct.size(), names.size());

    std::string lowered = names[1199];
    std::ranges::transform(lowered, lowered.begin(), [](char c) { return std::tolower(c); });
    testsupport::ChildProcess later("bus_peer", {"register", lowered, names[7]});
    EXPECT_EQ(Numbers(later), (std::vector<UINT>{mine[names[1199]], mine[names[7]]}));
}

// Names that once shared a number: a client's own message was taken for one
// of the service's.
TEST_F(BusRegisteredMessages, NamesSharingAHashNumberDifferAndThisSystemsKeepTheirs) {
    ASSERT_EQ(RegisteredMessageNumber(u"NAV_GPS_89"), RegisteredMessageNumber(u"WM_DMBANTLV"));
    ASSERT_EQ(RegisteredMessageNumber(u"NAVI_TPEG_1"),
              RegisteredMessageNumber(u"TCC_TDMB_AUDIOCHANGE_MSG"));
    ASSERT_EQ(RegisteredMessageNumber(u"NAVI_AUDIO_CLOSE"),
              RegisteredMessageNumber(u"DMBTPEG_CHANNEL_SCAN"));
    // The client registers first, on a new table.
    testsupport::ChildProcess client(
        "bus_peer", {"register", "NAV_GPS_89", "NAVI_TPEG_1", "NAVI_AUDIO_CLOSE", "WM_DMBANTLV",
                     "TCC_TDMB_AUDIOCHANGE_MSG", "DMBTPEG_CHANNEL_SCAN"});
    std::vector<UINT> numbers = Numbers(client);
    ASSERT_EQ(numbers.size(), 6u);
    EXPECT_EQ(numbers[3], 0xDCDBu);
    EXPECT_EQ(numbers[4], 0xD574u);
    EXPECT_EQ(numbers[5], 0xDD9Fu);
    EXPECT_EQ(std::set<UINT>(numbers.begin(), numbers.end()).size(), numbers.size());
    EXPECT_EQ(Register("nav_gps_89"), numbers[0]);

    // The table's form is what other programs rely on.
    std::ifstream in(m_runtime / "registered-messages");
    std::stringstream table;
    table << in.rdbuf();
    EXPECT_EQ(table.str().rfind(
                  "0xDCDB WM_DMBANTLV\n0xDAB4 TC_SUSPEND_ACK\n0xD20A TCC_TDMB_RESET_CHANNEL_MSG\n"
                  "0xD574 TCC_TDMB_AUDIOCHANGE_MSG\n0xE7F6 TCC_TDMB_RECONFIG_MSG\n"
                  "0xDD9F DMBTPEG_CHANNEL_SCAN\n0xDCDC NAV_GPS_89\n",
                  0),
              0u)
        << table.str();
}

}  // namespace
