#include <gtest/gtest.h>

#include <cstddef>

#include "inventory/text.h"

namespace kestrune {
namespace {

// The Windows build formats through MinGW's C99 printf, not msvcrt's, which would
// print "zu" for %zu and cut 64-bit integers.
TEST(FormatText, SizesAndWideIntegersFormatTheSameOnEveryPlatform) {
    EXPECT_EQ(formatText("%zu|%lld|%llu|%s|%02x", std::size_t{4000000000u}, -5000000000LL,
                         18446744073709551615ULL, "x", 10),
              "4000000000|-5000000000|18446744073709551615|x|0a");
}

TEST(Utf16, ConversionsRoundTripAndReplaceBrokenInput) {
    const std::string text = "Zertifikat f\xc3\xbcr \xf0\x9d\x92\xa6";
    const std::u16string units = utf8ToUtf16(text);
    ASSERT_EQ(units.size(), 17u);  // the last character is a surrogate pair
    EXPECT_EQ(units[15], 0xD835);
    EXPECT_EQ(utf16ToUtf8(units), text);
    EXPECT_EQ(utf16ToUtf8(u"a\xD835"), "a\xef\xbf\xbd");
    EXPECT_EQ(utf8ToUtf16("a\xff"), u"a\xFFFD");
}

}  // namespace
}  // namespace kestrune
