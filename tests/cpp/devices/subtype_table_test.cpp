#include "devices/camera_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

namespace {

const GUID kUnknown = MFCOMPAT_FOURCC_SUBTYPE(MFCOMPAT_FOURCC('H', '2', '6', '4'));

TEST(SubtypeTable, EverythingElseRequestsRgb24) {
    for (const char16_t* name : {u"", u"RGB24", u"mjpeg", u"MJPG", u"Mjpeg", u"P010", u"p10", u"NV12 ", u"YUY",
                                 u"{3231564E-0000-0010-8000-00AA00389B71}"}) {
        EXPECT_EQ(subtype_for_name(name), MFVideoFormat_RGB24) << std::string(name, name + std::char_traits<char16_t>::length(name));
    }
    // A name with an embedded NUL is a different name, not a prefix match.
    EXPECT_EQ(subtype_for_name(WideString(u"MJPEG\0x", 7)), MFVideoFormat_RGB24);
}

// Every row: its name requests its subtype exactly and the subtype names it back; the subtype is
// the FourCC-based GUID {first field-0000-0010-8000-00AA00389B71} (20 for RGB24).
TEST(SubtypeTable, RowsRoundTripWithFourccBasedGuids) {
    const struct {
        const char16_t* name;
        uint32_t first_field;
    } expected[] = {{u"MJPEG", 0x47504A4Du}, {u"NV12", 0x3231564Eu}, {u"YUY2", 0x32595559u},
                    {u"I420", 0x30323449u},  {u"RGB24", 20u},         {u"P10", 0x30313050u}};
    ASSERT_EQ(std::size(kSubtypeTable), std::size(expected));
    const uint8_t tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    for (size_t i = 0; i < std::size(expected); ++i) {
        const SubtypeRow& row = kSubtypeTable[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(WideString(row.name), expected[i].name);
        EXPECT_EQ(row.subtype.Data1, expected[i].first_field);
        EXPECT_EQ(row.subtype.Data2, 0x0000);
        EXPECT_EQ(row.subtype.Data3, 0x0010);
        EXPECT_EQ(0, std::memcmp(row.subtype.Data4, tail, 8));
        EXPECT_EQ(subtype_for_name(row.name), row.subtype);
        EXPECT_EQ(name_for_subtype(row.subtype), WideString(row.name));
    }
    EXPECT_FALSE(name_for_subtype(kUnknown).has_value());
    GUID almost = MFVideoFormat_NV12;
    almost.Data4[7] ^= 1;  // differs only in the last byte
    EXPECT_FALSE(name_for_subtype(almost).has_value());
}

}  // namespace
