#include <gtest/gtest.h>

#include <cstddef>

#include "platform/dshow.h"
#include "platform/guid.h"

using namespace platform;

namespace {

static_assert(sizeof(GUID) == 16 && offsetof(GUID, Data2) == 4 && offsetof(GUID, Data3) == 6 &&
              offsetof(GUID, Data4) == 8);
static_assert(ParseGuid("{56A868A9-0AD4-11CE-B03A-0020AF0BA770}") == IID_IGraphBuilder,
              "the string form and the parts must name the same identifier");

TEST(Guid, PrintsTheBracedUpperCaseForm) {
    EXPECT_EQ(GuidToString(CLSID_FilterGraph), "{E436EBB3-524F-11CE-9F53-0020AF0BA770}");
    EXPECT_EQ(GuidToWideString(IID_IUnknown), u"{00000000-0000-0000-C000-000000000046}");
}

TEST(Guid, StringFormRoundTripsInEitherCase) {
    for (const GUID& guid : {IID_IMediaControl, IID_IEnumPins, CLSID_FilterGraph}) {
        std::string text = GuidToString(guid);
        EXPECT_EQ(ParseGuid(text), guid) << text;
        for (char& c : text) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(ParseGuid(text), guid) << text;
    }
}

TEST(Guid, RejectsAnythingButTheBracedForm) {
    EXPECT_FALSE(ParseGuid("E436EBB3-524F-11CE-9F53-0020AF0BA770"));
    EXPECT_FALSE(ParseGuid("{E436EBB3-524F-11CE-9F53-0020AF0BA77}"));
    EXPECT_FALSE(ParseGuid("{E436EBB3-524F-11CE-9F53-0020AF0BA7700}"));
    EXPECT_FALSE(ParseGuid("{E436EBB3-524F11CE--9F53-0020AF0BA770}"));
    EXPECT_FALSE(ParseGuid("{E436EBB3-524F-11CE-9F53-0020AF0BA77G}"));
    EXPECT_FALSE(ParseGuid(" {E436EBB3-524F-11CE-9F53-0020AF0BA770}"));
    EXPECT_FALSE(ParseGuid(""));
}

TEST(Guid, EqualityComparesEveryByte) {
    GUID a = IID_IBaseFilter;
    GUID b = a;
    EXPECT_EQ(a, b);
    b.Data4[7] ^= 1;
    EXPECT_NE(a, b);
    EXPECT_NE(IID_IBaseFilter, IID_IMediaFilter);
}

}  // namespace
