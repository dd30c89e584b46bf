#include "devices/camera_records.h"

#include <gtest/gtest.h>

namespace {

const GUID kUnknown = MFCOMPAT_FOURCC_SUBTYPE(MFCOMPAT_FOURCC('H', '2', '6', '4'));

TEST(SubtypeTable, NamesRequestTheirSubtypeExactly) {
    EXPECT_EQ(subtype_for_name(u"MJPEG"), MFVideoFormat_MJPG);
    EXPECT_EQ(subtype_for_name(u"NV12"), MFVideoFormat_NV12);
    EXPECT_EQ(subtype_for_name(u"YUY2"), MFVideoFormat_YUY2);
    EXPECT_EQ(subtype_for_name(u"I420"), MFVideoFormat_I420);
    EXPECT_EQ(subtype_for_name(u"P10"), MFVideoFormat_P010);
}

TEST(SubtypeTable, EverythingElseRequestsRgb24) {
    for (const char16_t* name : {u"", u"RGB24", u"mjpeg", u"MJPG", u"Mjpeg", u"P010", u"p10", u"NV12 ", u"YUY",
                                 u"{3231564E-0000-0010-8000-00AA00389B71}"}) {
        EXPECT_EQ(subtype_for_name(name), MFVideoFormat_RGB24) << std::string(name, name + std::char_traits<char16_t>::length(name));
    }
    // A name with an embedded NUL is a different name, not a prefix match.
    EXPECT_EQ(subtype_for_name(WideString(u"MJPEG\0x", 7)), MFVideoFormat_RGB24);
}

TEST(SubtypeTable, NameForSubtypeComparesAllBitsAndRoundTrips) {
    for (const GUID& subtype :
         {MFVideoFormat_MJPG, MFVideoFormat_NV12, MFVideoFormat_YUY2, MFVideoFormat_I420, MFVideoFormat_RGB24, MFVideoFormat_P010}) {
        auto name = name_for_subtype(subtype);
        ASSERT_TRUE(name.has_value());
        EXPECT_EQ(subtype_for_name(*name), subtype);
    }
    EXPECT_EQ(*name_for_subtype(MFVideoFormat_P010), u"P10");
    EXPECT_EQ(*name_for_subtype(MFVideoFormat_MJPG), u"MJPEG");
    EXPECT_FALSE(name_for_subtype(kUnknown).has_value());

    GUID almost = MFVideoFormat_NV12;
    almost.Data4[7] ^= 1;  // differs only in the last byte
    EXPECT_FALSE(name_for_subtype(almost).has_value());
}

TEST(SubtypeTable, GuidValuesAreTheFourccBasedOnes) {
    EXPECT_EQ(MFVideoFormat_MJPG.Data1, 0x47504A4Du);
    EXPECT_EQ(MFVideoFormat_NV12.Data1, 0x3231564Eu);
    EXPECT_EQ(MFVideoFormat_RGB24.Data1, 20u);
    EXPECT_EQ(MFVideoFormat_P010.Data1, 0x30313050u);
    EXPECT_EQ(MFVideoFormat_YUY2.Data2, 0x0000);
    EXPECT_EQ(MFVideoFormat_YUY2.Data3, 0x0010);
    const uint8_t tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    EXPECT_EQ(0, std::memcmp(MFVideoFormat_I420.Data4, tail, 8));
}

}  // namespace
