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
    for (const GUID& guid : {IID_IMediaControl, IID_IEnumMediaTypes, CLSID_FilterGraph}) {
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

TEST(Guid, Win32ConversionsReportSizeAndBadText) {
    WCHAR buffer[39];
    EXPECT_EQ(StringFromGUID2(IID_IPin, buffer, 38), 0);
    EXPECT_EQ(StringFromGUID2(IID_IPin, buffer, 39), 39);
    EXPECT_EQ(std::u16string_view(buffer), u"{56A86891-0AD4-11CE-B03A-0020AF0BA770}");

    CLSID clsid = CLSID_FilterGraph;
    EXPECT_EQ(CLSIDFromString(buffer, &clsid), S_OK);
    EXPECT_EQ(clsid, IID_IPin);
    EXPECT_EQ(CLSIDFromString(u"{not a guid}", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(clsid, GUID_NULL);
}

TEST(Guid, EqualityComparesEveryByte) {
    GUID a = IID_IBaseFilter;
    GUID b = a;
    EXPECT_TRUE(IsEqualGUID(a, b));
    b.Data4[7] ^= 1;
    EXPECT_FALSE(IsEqualGUID(a, b));
    EXPECT_NE(IID_IBaseFilter, IID_IMediaFilter);
}

}  // namespace
