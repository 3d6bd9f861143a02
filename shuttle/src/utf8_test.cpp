#include "utf8.h"

#include <gtest/gtest.h>

#include <string>

TEST(Utf8, AcceptsWellFormedTexts) {
    const std::string cases[] = {
        "",
        "plain ascii {\"a\":1}",
        std::string("nul \0 inside", 12),
        "\xC2\x80",                   // U+0080, smallest two-byte form
        "\xDF\xBF",                   // U+07FF
        "\xE0\xA0\x80",               // U+0800, smallest three-byte form
        "\xED\x9F\xBF",               // U+D7FF, just below the surrogates
        "\xEE\x80\x80",               // U+E000, just above them
        "\xEF\xBF\xBF",               // U+FFFF
        "\xF0\x90\x80\x80",           // U+10000, smallest four-byte form
        "\xF4\x8F\xBF\xBF",           // U+10FFFF, the last code point
        "h\xC3\xA9llo \xE2\x98\x83 \xF0\x9F\x98\x80",
    };
    for (const auto & text : cases) {
        EXPECT_TRUE(is_valid_utf8(text)) << testing::PrintToString(text);
    }
}

TEST(Utf8, RejectsMalformedTexts) {
    const std::string cases[] = {
        "\x80",                       // lone continuation byte
        "abc\xBF",
        "\xC0\x80",                   // overlong NUL
        "\xC1\xBF",                   // overlong two-byte
        "\xE0\x9F\xBF",               // overlong three-byte
        "\xF0\x8F\xBF\xBF",           // overlong four-byte
        "\xED\xA0\x80",               // U+D800, a surrogate
        "\xED\xBF\xBF",               // U+DFFF
        "\xF4\x90\x80\x80",           // U+110000, past the last code point
        "\xF5\x80\x80\x80",
        "\xFF",
        "\xC3",                       // cut short at the end
        "\xE2\x98",
        "\xF0\x9F\x98",
        "\xC3(",                      // continuation missing
        "\xE2\x28\xA1",
        "\xF0\x9F\x28\x80",
    };
    for (const auto & text : cases) {
        EXPECT_FALSE(is_valid_utf8(text)) << testing::PrintToString(text);
    }
}
