#include "json_escape.h"

#include <gtest/gtest.h>

namespace {

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

} // namespace
