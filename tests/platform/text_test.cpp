#include <gtest/gtest.h>

#include <array>

#include "platform/kernel.h"
#include "platform/text.h"

using namespace platform;

namespace {

// "교통정보" (traffic information) as a broadcaster labels it, in CP949.
const std::string kKoreanLabel = "\xb1\xb3\xc5\xeb\xc1\xa4\xba\xb8";

TEST(CodePage, KoreanLabelIsReadAsCp949) {
    EXPECT_EQ(ToWide(kKoreanLabel), u"교통정보");
}

TEST(CodePage, InvalidAndTruncatedBytesBecomeReplacementCharacters) {
    // 0xFF is no lead byte in CP949; a lead byte at the very end has no trail.
    std::string bytes =
        "A\xff"
        "B\xb1";
    EXPECT_EQ(ToWide(bytes), u"A\uFFFDB\uFFFD");
}

TEST(CodePage, NeverWritesPastTheDestination) {
    std::array<WCHAR, 6> out{};
    out.fill(u'#');
    std::size_t n = MultiByteToWide(CP_ACP, "TPEG" + kKoreanLabel, std::span(out).first(5));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(out.data(), 5), u"TPEG교");
    EXPECT_EQ(out[5], u'#');
}

TEST(CodePage, Utf8HandlesSurrogatePairsAndLoneSurrogates) {
    std::u16string music = u"\U0001D11E";
    EXPECT_EQ(ToUtf8(music), "\xF0\x9D\x84\x9E");
    EXPECT_EQ(FromUtf8("\xF0\x9D\x84\x9E"), music);
    EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(CompareNoCase, FoldsLetterCaseOnly) {
    EXPECT_TRUE(EqualsNoCase(u"Data In", u"DATA IN"));
    EXPECT_TRUE(EqualsNoCase(u"dout", u"DOut"));
    EXPECT_FALSE(EqualsNoCase(u"DOut", u"DOut "));
    EXPECT_LT(CompareNoCase(u"a", u"B"), 0);
    EXPECT_GT(CompareNoCase(u"b", u"A"), 0);
}

}  // namespace
