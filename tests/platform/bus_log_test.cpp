#include <gtest/gtest.h>

#include <string>

#include "platform/bus_log.h"
#include "platform/log.h"
#include "platform/text.h"
#include "tests/support/log_capture.h"

using testsupport::CapturingLogSink;

using namespace platform;

namespace {

std::string LastLine(const CapturingLogSink& log) {
    return ToUtf8(log.Lines().back());
}

// A sender flooding us with bad calls gets a few lines, then one per interval with the count,
// and a last one with what was left untold when it leaves; other senders keep their own
// allowance.
TEST(BusRefusalLog, ASenderGetsAFewLinesThenACountPerInterval) {
    CapturingLogSink log;
    ScopedLogSink capture(log);
    BusRefusalLog refusals;
    const auto start = Clock::now();
    const auto interval = ScaledDuration(BusRefusalLog::kSummaryIntervalMs);
    for (int i = 0; i < 1000; ++i) {
        refusals.Refused(":1.5", "refused call " + std::to_string(i), start);
    }
    ASSERT_EQ(log.Lines().size(), BusRefusalLog::kFullLines);
    EXPECT_EQ(LastLine(log), "dmbtpeg bus: refused call 4\n");

    refusals.Refused(":1.6", "refused another's call", start);
    EXPECT_EQ(log.Lines().size(), BusRefusalLog::kFullLines + 1);

    refusals.Refused(":1.5", "refused call 1000", start + interval);
    EXPECT_NE(LastLine(log).find("refused 996 more calls from :1.5"), std::string::npos)
        << LastLine(log);
    refusals.Refused(":1.5", "refused call 1001", start + interval + interval / 2);
    EXPECT_EQ(log.Lines().size(), BusRefusalLog::kFullLines + 2);

    refusals.SenderLeft(":1.5");
    EXPECT_NE(LastLine(log).find("refused 1 more calls from :1.5"), std::string::npos)
        << LastLine(log);
    refusals.SenderLeft(":1.6");
    EXPECT_EQ(log.Lines().size(), BusRefusalLog::kFullLines + 3) << "nothing left untold";
}

}  // namespace
