#include "broadcast/tpeg_application.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

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

}  // namespace
