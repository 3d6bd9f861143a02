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
