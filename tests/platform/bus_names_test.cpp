#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/bus_names.h"
#include "platform/window_messages.h"

using namespace platform;

namespace {

TEST(BusNames, TitlesBecomeValidBusNames) {
    EXPECT_EQ(BusNameForTitle(u"DmbTpeg"), "org.dmbtpeg.Title.DmbTpeg");
    EXPECT_EQ(BusNameForTitle(u"Lumo_TDMBPlayer"), "org.dmbtpeg.Title.Lumo_5FTDMBPlayer");
    EXPECT_EQ(BusNameForTitle(u"9 Lives"), "org.dmbtpeg.Title._39_20Lives");
    EXPECT_EQ(BusNameForTitle(u"a.b"), "org.dmbtpeg.Title.a_2Eb");
    EXPECT_EQ(BusNameForTitle(u"\uB0B4"), "org.dmbtpeg.Title._EB_82_B4");
    EXPECT_NE(BusNameForTitle(u"Rovan"), BusNameForTitle(u"rovan"));
}

TEST(BusNames, OverlongTitlesAreNamedByAHashWithinTheLimit) {
    std::u16string longTitle(200, u'-');
    std::u16string other = longTitle + u"x";
    std::string name = BusNameForTitle(longTitle);
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(name.rfind("org.dmbtpeg.Title.H", 0), 0u);
    EXPECT_NE(name, BusNameForTitle(other));
    EXPECT_EQ(name, BusNameForTitle(longTitle));
}

TEST(BusNames, ObjectPathsRoundTripAndOnlyCanonicalFormsParse) {
    HWND window = reinterpret_cast<HWND>(std::uintptr_t{0x10a2f});
    EXPECT_EQ(WindowObjectPath(window), "/org/dmbtpeg/windows/w10a2f");
    EXPECT_EQ(ParseWindowObjectPath(WindowObjectPath(window)), window);
    for (const char* path :
         {"/org/dmbtpeg/windows", "/org/dmbtpeg/windows/w", "/org/dmbtpeg/windows/w0",
          "/org/dmbtpeg/windows/w010", "/org/dmbtpeg/windows/w10A2F",
          "/org/dmbtpeg/windows/w10a2f/x", "/org/dmbtpeg/windows/wxyz",
          "/org/dmbtpeg/windows/w11111111111111111", "/other/w10a2f"}) {
        EXPECT_FALSE(ParseWindowObjectPath(path).has_value()) << path;
    }
}

TEST(BusNames, RegisteredNumbersOfThisSystemsNamesAreDistinctAndCaseBlind) {
    const char16_t* names[] = {u"WM_DMBANTLV",
                               u"TC_SUSPEND_ACK",
                               u"TCC_TDMB_RESET_CHANNEL_MSG",
                               u"TCC_TDMB_AUDIOCHANGE_MSG",
                               u"TCC_TDMB_RECONFIG_MSG",
                               u"DMBTPEG_CHANNEL_SCAN"};
    std::set<UINT> numbers;
    for (const char16_t* name : names) {
        UINT number = RegisteredMessageNumber(name);
        EXPECT_GE(number, kFirstRegisteredMessage);
        EXPECT_LE(number, kLastRegisteredMessage);
        numbers.insert(number);
    }
    EXPECT_EQ(numbers.size(), std::size(names));
    EXPECT_EQ(RegisteredMessageNumber(u"wm_dmbantlv"), RegisteredMessageNumber(u"WM_DMBANTLV"));
    EXPECT_EQ(RegisteredMessageNumber(u"DMBTPEG_CHANNEL_SCAN"), 0xDD9Fu)
        << "the documented numbers changed";
}

TEST(BusNames, OnlyMessagesOfPlainNumbersCrossProcesses) {
    EXPECT_TRUE(MayCrossProcesses(WM_USER));
    EXPECT_TRUE(MayCrossProcesses(8590));
    EXPECT_TRUE(MayCrossProcesses(0xC123));
    EXPECT_TRUE(MayCrossProcesses(WM_CLOSE));
    EXPECT_FALSE(MayCrossProcesses(WM_TIMER));
    EXPECT_FALSE(MayCrossProcesses(WM_SETTEXT));
    EXPECT_FALSE(MayCrossProcesses(WM_CREATE));
    EXPECT_FALSE(MayCrossProcesses(WM_COPYDATA));
    EXPECT_FALSE(MayCrossProcesses(0x10000));
}

}  // namespace
