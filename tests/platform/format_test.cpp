#include <gtest/gtest.h>

#include <array>

#include "platform/format.h"
#include "platform/log.h"
#include "tests/support/log_capture.h"

using testsupport::CapturingLogSink;

using namespace platform;

namespace {

TEST(FormatWide, FormatsWideAndNarrowArgumentsExactly) {
    std::array<WCHAR, kFormatBufferUnits> buf{};
    const WCHAR* label = u"교통정보";
    std::size_t n = FormatWide(buf, u"[TDMBPlayer] mChannelInfo : %s\r\n", label);
    EXPECT_EQ(std::u16string(buf.data(), n), u"[TDMBPlayer] mChannelInfo : 교통정보\r\n");
    n = FormatWide(buf, u"DShow %s #%d#", "narrow", -7);
    EXPECT_EQ(std::u16string(buf.data(), n), u"DShow narrow #-7#");
}

TEST(FormatWide, UnsignedFollowedByLetterD) {
    std::array<WCHAR, kFormatBufferUnits> buf{};
    std::size_t n = FormatWide(buf, u" usid = %ud \r\n", 0xF1E00448u);
    EXPECT_EQ(std::u16string(buf.data(), n), u" usid = 4057990216d \r\n");
}

TEST(FormatWide, LongResultIsCutTo127UnitsAndTerminated) {
    std::array<WCHAR, kFormatBufferUnits + 1> buf{};
    buf.fill(u'#');
    std::u16string longText(300, u'x');
    std::size_t n = FormatWide(std::span(buf).first(kFormatBufferUnits), u"%s", longText);
    EXPECT_EQ(n, 127u);
    EXPECT_EQ(buf[127], u'\0');
    EXPECT_EQ(buf[128], u'#');
}

TEST(FormatWide, NeverSplitsASurrogatePairAtTheCut) {
    std::array<WCHAR, 4> buf{};
    std::size_t n = FormatWide(buf, u"ab%s", std::u16string(u"\U0001D11E"));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(std::u16string(buf.data()), u"ab");
}

TEST(FormatWide, MalformedFormatYieldsTheFormatItself) {
    std::array<WCHAR, kFormatBufferUnits> buf{};
    std::size_t n = FormatWide(buf, u"%d %d", 1);
    EXPECT_EQ(std::u16string(buf.data(), n), u"%d %d");
}

TEST(DebugPrintf, WritesOneCallPerLineWithItsOwnLineEnds) {
    CapturingLogSink sink;
    ScopedLogSink guard(sink);
    DebugPrintf(u"[Lumo DMB] Could not create Filter Graph");
    DebugPrintf(u"\r\n[LUMO DMB] DMB VESK TPEG Count #%d# \r\n", 3);
    auto lines = sink.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], u"[Lumo DMB] Could not create Filter Graph");
    EXPECT_EQ(lines[1], u"\r\n[LUMO DMB] DMB VESK TPEG Count #3# \r\n");
}

TEST(MessageBox, CaptureRecordsTheTextAndReturnsOk) {
    ScopedMessageBoxCapture capture;
    EXPECT_EQ(MessageBox(nullptr, u"scan file version is invalid. Please, scan channels again.",
                         nullptr, MB_OK),
              IDOK);
    ASSERT_EQ(capture.Texts().size(), 1u);
    EXPECT_EQ(capture.Texts()[0], u"scan file version is invalid. Please, scan channels again.");
}

}  // namespace
