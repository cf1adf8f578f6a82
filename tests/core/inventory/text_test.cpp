#include "inventory/text.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace kestrune {
namespace {

TEST(Text, Utf8AndUtf16RoundTripIncludingSurrogatePairs) {
    const std::string text = "Zoë Ωmega 中文 \U0001F600 end";
    const std::u16string wide = utf8ToUtf16(text);
    EXPECT_EQ(wide, u"Zoë Ωmega 中文 \U0001F600 end");
    EXPECT_EQ(utf16ToUtf8(wide), text);
}

TEST(Text, BrokenInputBecomesReplacementCharactersWithoutOverreading) {
    // A truncated four-byte sequence at the very end, a stray continuation byte, an
    // overlong encoding and an encoded surrogate: one U+FFFD per offending byte.
    EXPECT_EQ(utf8ToUtf16("a\xF0\x9F\x98"), u"a\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(utf8ToUtf16("\x80z"), u"\uFFFDz");
    EXPECT_EQ(utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    // Unpaired surrogates in UTF-16 do not survive into UTF-8.
    const char16_t lone[] = {u'x', 0xD800, u'y', 0xDC00, 0};
    EXPECT_EQ(utf16ToUtf8(lone), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
}

TEST(Text, FormatsLikePrintfAndFoldsOnlyAsciiCase) {
    EXPECT_EQ(formatText("%04d-%02d|%s|%02x", 7, 3, "ok", 0xab), "0007-03|ok|ab");
    EXPECT_EQ(formatText("%s", std::string(5000, 'x').c_str()).size(), 5000u);
    // The Windows build must format through MinGW's C99 printf: msvcrt's would print
    // "zu" and cut 64-bit integers.
    EXPECT_EQ(formatText("%zu|%lld", std::size_t{4000000000u}, -5000000000LL),
              "4000000000|-5000000000");
    EXPECT_EQ(asciiLower(u'Q'), u'q');
    EXPECT_EQ(asciiLower(u'É'), u'É');
}

TEST(Text, CutsToUtf16UnitsWithoutSplittingACodePoint) {
    const struct {
        std::string text;
        std::size_t maxUnits;
        std::string kept;
    } cases[] = {
        {"abc", 3, "abc"},
        {"abc", 2, "ab"},
        {"abc", 0, ""},
        {"a\xC3\xA9z", 2, "a\xC3\xA9"},  // é is one unit
        {"a\xF0\x9F\x94\x92", 2, "a"},   // a pair does not fit in one unit
        {"a\xF0\x9F\x94\x92", 3, "a\xF0\x9F\x94\x92"},
        {"\xFF\xFEx", 2, "\xFF\xFE"},  // each invalid byte is one U+FFFD
        {"\xE2\x82", 5, "\xE2\x82"},   // a cut-off sequence at the end
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cutToUtf16Units(c.text, c.maxUnits), c.kept) << c.text << " " << c.maxUnits;
        EXPECT_LE(utf8ToUtf16(cutToUtf16Units(c.text, c.maxUnits)).size(), c.maxUnits);
    }
}

}  // namespace
}  // namespace kestrune
