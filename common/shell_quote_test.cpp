#include "shell_quote.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"

namespace {

// What a shell makes of `command_line`: the word printf receives.
std::string as_the_shell_reads(const std::string & command_line) {
    const process_result r = run_process({"/bin/sh", "-c", "printf %s " + command_line});
    EXPECT_EQ(r.exit_status, 0) << command_line << "\n" << r.err;
    return r.out;
}

// Every way of quoting hands the shell's command the text unchanged, with
// nothing expanded, split or run.
TEST(ShellQuote, TheShellReadsBackTheText) {
    const std::vector<std::string> texts = {
        "plain", "", "two words", "it's", "'", "$(touch gone) `touch gone` $HOME ${x}",
        "back\\slash \\\" \"quoted\"", "line\nbreak\ttab", "*?[a] ~ -n #x ; & | < > ( ) !",
        "caf\xC3\xA9",
    };
    for (const std::string & text : texts) {
        SCOPED_TRACE(text);
        EXPECT_EQ(as_the_shell_reads(shell_single_quoted(text)), text);
        EXPECT_EQ(as_the_shell_reads("\"" + shell_double_quoted(text) + "\""), text);
        EXPECT_EQ(as_the_shell_reads(shell_word(text)), text);
    }
}

// Ordinary names stay as they are; anything else is quoted.
TEST(ShellQuote, ShellWordQuotesOnlyWhatNeedsIt) {
    const struct {
        std::string word, quoted;
    } cases[] = {
        {"talk.wav", "talk.wav"},
        {"/tmp/a-b_c/x@1%2+3=4:5,6", "/tmp/a-b_c/x@1%2+3=4:5,6"},
        {"", "''"},
        {"my talk's.wav", "'my talk'\\''s.wav'"},
        {"~/x", "'~/x'"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(shell_word(c.word), c.quoted) << c.word;
    }
}

} // namespace
