#include "broadcast/tpeg_application.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/text.h"

namespace {

TEST(TpegApplications, TableIsUniqueAndKeepsTheRegisteredRtmAid) {
    std::set<std::uint16_t> aids;
    std::set<std::uint16_t> events;
    std::set<std::string_view> files;
    for (const auto& app : broadcast::TpegApplications()) {
        aids.insert(app.aid);
        events.insert(app.eventCode);
        files.insert(app.fileName);
        EXPECT_NE(app.aid, 0) << "AID 0 is the SNI";
    }
    EXPECT_EQ(aids.size(), 10u);
    EXPECT_EQ(events.size(), 10u);
    EXPECT_EQ(files.size(), 10u);
    const auto* rtm = broadcast::FindApplicationByAid(0x0001);
    ASSERT_NE(rtm, nullptr);
    EXPECT_EQ(rtm->eventCode, 6129);
    EXPECT_EQ(rtm->fileName, "TPRTM.BIN");
    EXPECT_EQ(rtm->kindCode, 15);
    EXPECT_EQ(broadcast::FindApplicationByEventCode(6138)->fileName, "TPOIL2.BIN");
    EXPECT_EQ(broadcast::FindApplicationByAid(0x0005), nullptr);
}

TEST(ApplicationAids, ListsAreHexNumbersSeparatedBySpacesOrCommas) {
    using Aids = std::vector<std::uint16_t>;
    EXPECT_EQ(broadcast::ParseAidList(u"0x0001 0x0005"), (Aids{0x0001, 0x0005}));
    EXPECT_EQ(broadcast::ParseAidList(u" 1,, 0X000f\tf1ab ,1"), (Aids{0x0001, 0x000F, 0xF1AB}));
    EXPECT_EQ(broadcast::ParseAidList(u""), Aids{});
    EXPECT_EQ(broadcast::ParseAidList(u" , "), Aids{});
    for (const char16_t* bad : {u"0x", u"12345", u"0x1g", u"0", u"1;5", u"-1", u"0x 1"}) {
        EXPECT_EQ(broadcast::ParseAidList(bad), std::nullopt) << platform::ToUtf8(bad);
    }
}

TEST(ApplicationAids, DefaultsListsAndConflicts) {
    constexpr std::size_t kCtt = 0, kSdi = 1, kNws = 3, kRtm = 4, kPoiOps2 = 9;
    const auto apps = broadcast::TpegApplications();
    const broadcast::ApplicationAids defaults;
    for (const auto& app : apps) {
        EXPECT_EQ(defaults.Find(app.aid), &app) << app.name;
    }
    EXPECT_EQ(defaults.Find(0x0005), &apps[kRtm]);
    EXPECT_EQ(defaults.Find(0x0007), &apps[kCtt]);
    EXPECT_EQ(defaults.Find(0x000F), &apps[kSdi]);
    EXPECT_EQ(defaults.Find(0x0002), nullptr);

    // A list replaces its application's defaults and takes its AIDs from the others' defaults;
    // an empty list takes none; an AID two lists name goes to the first in table order.
    broadcast::ApplicationAids::Lists lists;
    lists[kNws] = {0x0005, 0x0020};
    lists[kRtm] = std::vector<std::uint16_t>{};
    lists[kPoiOps2] = {0x0020, 0x000F};
    std::vector<broadcast::ApplicationAids::Conflict> conflicts;
    const auto aids = broadcast::ApplicationAids::FromLists(lists, &conflicts);
    EXPECT_EQ(aids.AidsOf(kNws), (std::vector<std::uint16_t>{0x0005, 0x0020}));
    EXPECT_EQ(aids.AidsOf(kRtm), std::vector<std::uint16_t>{});
    EXPECT_EQ(aids.AidsOf(kSdi), std::vector<std::uint16_t>{apps[kSdi].aid});
    EXPECT_EQ(aids.AidsOf(kPoiOps2), std::vector<std::uint16_t>{0x000F});
    EXPECT_EQ(aids.Find(0x0001), nullptr);
    ASSERT_EQ(conflicts.size(), 1u);
    EXPECT_EQ(conflicts[0].aid, 0x0020);
    EXPECT_EQ(conflicts[0].kept, kNws);
    EXPECT_EQ(conflicts[0].dropped, kPoiOps2);
}

}  // namespace
