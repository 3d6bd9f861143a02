#include "log.h"

#include <gtest/gtest.h>

TEST(LogLine, StampsWithEpochSecondsAndEndsTheLine) {
    struct Case {
        uint64_t seconds;
        std::string message;
        std::string line;
    };
    const Case cases[] = {
        {1765360000, "Shuttle starting\u2026", "[1765360000] Shuttle starting\u2026\n"},
        {0, "", "[0] \n"},
        {18446744073709551615ull, "Received message: ", "[18446744073709551615] Received message: \n"},
        {42, "two\nlines", "[42] two\nlines\n"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(c.line, format_log_line(c.seconds, c.message));
    }
}

TEST(LoggedText, IsCutAtACharacterAndEscapesControlBytes) {
    struct Case {
        std::string text;
        std::string logged;
    };
    const std::string full(1024, 'a');
    // A three-byte character that would straddle the 1,024th byte goes whole.
    const std::string straddling = std::string(1022, 'a') + "\xE2\x98\x83" + "tail";
    const Case cases[] = {
        {"", ""},
        {"plain {\"json\":\"\\\\\"}", "plain {\"json\":\"\\\\\"}"},
        {"two\nlines\r\n", "two\\nlines\\r\\n"},
        {std::string("tab\tnul\0del\x7F", 12), "tab\\x09nul\\x00del\\x7F"},
        {"h\xC3\xA9llo \xE2\x98\x83", "h\xC3\xA9llo \xE2\x98\x83"},
        {full, full},
        {full + "b", full + " \u2026 (1025 bytes)"},
        {straddling, std::string(1022, 'a') + " \u2026 (1029 bytes)"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(c.logged, loggable_text(c.text)) << c.text.size() << " bytes";
    }
}
