// Text conversion between UTF-8 and UTF-16, and the repair of ill-formed UTF-8.
#include <gtest/gtest.h>

#include "basekit/utility/Text.h"

using basekit::UTF16String;
using basekit::UTF8String;
using namespace basekit::utility;

namespace vireo::test::foundation {

TEST(Text, RoundTripsEveryEncodingLength) {
    // 1-, 2-, 3- and 4-byte sequences (the last one a surrogate pair in UTF-16).
    UTF8String const utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xAC";
    UTF16String const utf16 = u"A\u00E9\u20AC\U0001F3AC";
    EXPECT_EQ(UTF8to16(utf8), utf16);
    EXPECT_EQ(UTF16to8(utf16), utf8);
    EXPECT_EQ(UTF8to16(UTF8String("a\0b", 3)), UTF16String(u"a\0b", 3));
}

TEST(Text, IllFormedUTF8BecomesReplacementCharactersAndIsRepairedAlike) {
    struct Case {
        UTF8String input;
        UTF16String expected;
    };
    Case const cases[] = {
        {"\x80", u"\uFFFD"},                      // lone continuation byte
        {"a\xC3", u"a\uFFFD"},                    // truncated at the end
        {"\xE2\x82x", u"\uFFFDx"},                // broken 3-byte sequence: one U+FFFD, then x
        {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong '/'
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong 3-byte form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xFF", u"\uFFFD"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        EXPECT_EQ(UTF8to16(c.input), c.expected);
        // Repairing gives exactly the text the UTF-16 converter sees.
        EXPECT_FALSE(IsValidUTF8(c.input));
        UTF8String const repaired = MakeValidUTF8(c.input);
        EXPECT_TRUE(IsValidUTF8(repaired));
        EXPECT_EQ(UTF8to16(repaired), c.expected);
    }
    UTF8String const good = "A\xC3\xA9\xEF\xBF\xBD";  // a literal U+FFFD is well-formed
    EXPECT_TRUE(IsValidUTF8(good));
    EXPECT_EQ(MakeValidUTF8(good), good);
}

TEST(Text, UnpairedSurrogatesBecomeReplacementCharacters) {
    UTF16String const lone_high{u'x', static_cast<char16_t>(0xD83C), u'y'};
    EXPECT_EQ(UTF16to8(lone_high), "x\xEF\xBF\xBDy");
    EXPECT_EQ(UTF16to8({static_cast<char16_t>(0xDC00)}), "\xEF\xBF\xBD");  // lone low
    EXPECT_EQ(UTF16to8({static_cast<char16_t>(0xD800)}), "\xEF\xBF\xBD");  // high at the end
}

}  // namespace vireo::test::foundation
