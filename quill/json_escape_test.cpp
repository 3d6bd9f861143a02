#include "json_escape.h"

#include <gtest/gtest.h>

namespace {

const std::string k_fffd = "\xEF\xBF\xBD";

std::string replacements(size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += k_fffd;
    }
    return out;
}

TEST(JsonEscape, QuotesBackslashesAndControlBytesOnly) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {" plain", " plain"},
        {"say \"hi\" \\o/", "say \\\"hi\\\" \\\\o/"},
        {"\\\\", "\\\\\\\\"},
        {"line\nbreak\ttab\r\x01", "line\\u000abreak\\u0009tab\\u000d\\u0001"},
        {std::string("nul\0end", 7), "nul\\u0000end"},
        {"\x1f \x20\x7f", "\\u001f \x20\x7f"},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(json_escape(c.in), c.out) << c.in;
    }
}

// One U+FFFD for each maximal subpart: the longest start of a well-formed
// sequence, or else a single byte. Well-formed text keeps its bytes, up to
// the edges of every range of first and second bytes.
TEST(JsonEscape, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"\xC2\x80", "\xC2\x80"},
        {"\xDF\xBF", "\xDF\xBF"},
        {"\xE0\xA0\x80", "\xE0\xA0\x80"},
        {"\xE4\xBD\xA0\xE5\xA5\xBD", "\xE4\xBD\xA0\xE5\xA5\xBD"},
        {"\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"\xEE\x80\x80", "\xEE\x80\x80"},
        {"\xEF\xBF\xBF", "\xEF\xBF\xBF"},
        {k_fffd, k_fffd},
        {"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
        {"\xF3\xBF\xBF\xBF", "\xF3\xBF\xBF\xBF"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        // The three tokens that split "你好" (E4 BD A0 E5 A5 BD).
        {"\xE4\xBD", replacements(1)},
        {"\xA0\xE5", replacements(2)},
        {"\xA5\xBD", replacements(2)},
        {"\xE4\xBDx", k_fffd + "x"},
        {"\xE4\xBD\xE5\xA5\xBD", k_fffd + "\xE5\xA5\xBD"},
        {"\xF0\x9F\x98" "a", k_fffd + "a"},
        {"\x80", replacements(1)},
        {"\xBF\x80", replacements(2)},
        // Overlong forms.
        {"\xC0\x80", replacements(2)},
        {"\xC1\xBF", replacements(2)},
        {"\xE0\x80\x80", replacements(3)},
        {"\xE0\x9F\xBF", replacements(3)},
        {"\xF0\x80\x80\x80", replacements(4)},
        {"\xF0\x8F\xBF\xBF", replacements(4)},
        // Surrogates, and code points beyond U+10FFFF.
        {"\xED\xA0\x80", replacements(3)},
        {"\xED\xBF\xBF", replacements(3)},
        {"\xF4\x90\x80\x80", replacements(4)},
        {"\xF5\x80\x80\x80", replacements(4)},
        {"\xF8\x88\x80\x80\x80", replacements(5)},
        {"\xFE\xFF", replacements(2)},
        // The Unicode Standard's own example of the practice.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a" + replacements(3) + "b" + k_fffd + "c" +
                                                                    replacements(2) + "d"},
        // Repair and escaping in the same pass.
        {"\"\xFF\n\xE4\xBD\\", "\\\"" + k_fffd + "\\u000a" + k_fffd + "\\\\"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(json_escape(c.in), c.out) << testing::PrintToString(c.in);
    }
}

TEST(JsonEscape, ControlByteEscapeRepairsUtf8AndKeepsQuotes) {
    EXPECT_EQ(escape_control_bytes("\"\xE4\xBD\\\t\xE5\xA5\xBD"), "\"" + k_fffd + "\\\\u0009\xE5\xA5\xBD");
}

} // namespace
