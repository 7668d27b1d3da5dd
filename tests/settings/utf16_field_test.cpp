#include <gtest/gtest.h>

#include "settings/settings.h"

TEST(Utf16Field, ConvertsBothWaysAndCutsSafely) {
    struct Case {
        const char* name;
        std::string text;
        size_t capacity;
        std::string expected;  // what reads back
    };
    const std::string clef = "\xF0\x9D\x84\x9E";  // outside the BMP: a surrogate pair
    const Case cases[] = {
        {"ascii", "PCM", 8, "PCM"},
        {"two and three byte forms", "Gerät €", 16, "Gerät €"},
        {"pair", "a" + clef, 8, "a" + clef},
        {"cut at capacity", "abcdef", 4, "abc"},
        {"pair never split", "ab" + clef, 4, "ab"},
        {"malformed bytes replaced", "a\xFF" "b", 8, "a\xEF\xBF\xBD" "b"},
        {"truncated sequence replaced", "a\xE2\x82", 8, "a\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"overlong form replaced", "\xC0\xAF", 8, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char16_t field[16];
        std::fill(std::begin(field), std::end(field), u'#');
        utf8ToField(field, c.capacity, c.text);
        EXPECT_EQ(fieldToUtf8(field, c.capacity), c.expected);
        for (size_t i = c.capacity; i < 16; ++i) EXPECT_EQ(field[i], u'#') << "wrote past the field";
    }
}

TEST(Utf16Field, ReadingStopsAtTheFieldEndAndReplacesLoneSurrogates) {
    const char16_t full[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(fieldToUtf8(full, 3), "abc");
    const char16_t lone[4] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(fieldToUtf8(lone, 4), "a\xEF\xBF\xBD" "b");
    const char16_t pairCutByEnd[2] = {u'a', 0xD834};
    EXPECT_EQ(fieldToUtf8(pairCutByEnd, 2), "a\xEF\xBF\xBD");
}
