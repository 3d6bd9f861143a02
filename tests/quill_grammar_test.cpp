// Grammar-constrained decoding through the real program: how "--grammar" is
// read and echoed, the grammars that stop start-up, and the start rule that
// each transcription looks up.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "grammar_texts.h"
#include "process.h"
#include "quill_session.h"
#include "speech.h"
#include "temp_dir_test.h"

namespace {

// Two seconds of silence: long enough for a cut, so the open chunk is
// transcribed several times.
const std::string k_two_seconds_of_silence = pcm16_bytes(silence(2000));

const char k_missing_rule_warning[] =
    "whisper_processing_thread: warning: grammar rule 'nope' not found - skipping grammar sampling\n";

// "--no-prints" silences the library and the processing lines, so standard
// error holds only what the grammar handling writes.
process_result run_with_grammar(std::vector<std::string> args, const std::string & input = "") {
    args.insert(args.begin(), {"-m", test_model("fixed.bin"), "--no-prints"});
    args.push_back("-");
    return run_quill(args, input);
}

// Grammar files go to a directory of the case's own.
using quill_grammar = temp_dir_test;

// The text before the NUL byte would parse on its own.
const char k_grammar_with_nul[] = "root ::= \"yes\"\0 | \"no\" | garbage((((";

TEST_F(quill_grammar, echoes_the_rules_of_a_file_or_of_the_text_itself) {
    struct echo_case {
        std::string grammar;
        std::string listing;
    };
    const echo_case cases[] = {
        {"root ::= \"hi\" | [0-9]+", "root ::= [h] [i] | root_1 \nroot_1 ::= [0-9] root_1 | [0-9] \n"},
        {file_with("crlf.gbnf", "# answers\r\nroot ::= (\"yes\" | \"no\") [ \\t]*\r\n"),
         "root ::= root_1 root_2 \nroot_1 ::= [y] [e] [s] | [n] [o] \nroot_2 ::= [ <U+0009>] root_2 | \n"},
    };
    for (const echo_case & c : cases) {
        SCOPED_TRACE(c.grammar);
        const process_result result = run_with_grammar({"--grammar", c.grammar});
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "main: grammar:\n" + c.listing + "\n");
    }
}

TEST_F(quill_grammar, a_grammar_without_rules_stops_start_up_with_status_4) {
    struct failure_case {
        std::string grammar;
        std::string parser_message;
    };
    const std::string nul_file = file_with("nul.gbnf", std::string(k_grammar_with_nul, sizeof k_grammar_with_nul - 1));
    const failure_case cases[] = {
        {"# only a comment\n", ""},
        {file_with("comments.gbnf", "  # nothing\n\n# here\n"), ""},
        {"root ::= other", "parse: error parsing grammar: reference to undefined rule 'other'\n"},
        {file_with("undefined.gbnf", "root ::= item+\n"),
         "parse: error parsing grammar: reference to undefined rule 'item'\n"},
        {"root ::= (\"a\"", "parse: error parsing grammar: expecting ')' at \n"},
        // It opens but cannot be read: refused, rather than what was read
        // (here nothing) parsed as if it were the whole file.
        {dir, "read_grammar_file: error reading grammar: " + dir + ": " + std::strerror(EISDIR) + "\n"},
        // The parser would stop at the NUL byte and take the rest for unseen.
        {nul_file, "read_grammar_file: error reading grammar: " + nul_file + ": NUL byte at offset 14\n"},
        // No such file, so the path itself is read as grammar text.
        {"/nonexistent/answers.gbnf", "parse: error parsing grammar: expecting name at /nonexistent/answers.gbnf\n"},
        // What the library's grammar sampling would not survive: endless
        // expansion, a stack overflow, a decoding that never ends.
        {"root ::= root \"a\" | \"b\"", "parse: error parsing grammar: rule 'root' is left-recursive: root -> root\n"},
        {"root ::= item \"a\" | \"b\"\nitem ::= \" \"? root\n",
         "parse: error parsing grammar: rule 'root' is left-recursive: root -> item -> root\n"},
        {file_with("deep.gbnf", leftmost_chain(1001)),
         "parse: error parsing grammar: rule 'r0' nests more than 1000 rules deep before its first character\n"},
        {file_with("chain.gbnf", leftmost_chain(200000)), "parse: error parsing grammar: more than 4096 rules\n"},
        {file_with("wide.gbnf", one_rule_with_alternatives(300000)),
         "parse: error parsing grammar: rule 'root' can begin in more than 4096 ways\n"},
    };
    for (const failure_case & c : cases) {
        SCOPED_TRACE(c.grammar);
        const process_result result = run_with_grammar({"--grammar", c.grammar}, k_two_seconds_of_silence);
        EXPECT_EQ(result.exit_status, 4);
        EXPECT_EQ(result.err, c.parser_message + "error: failed to parse grammar \"" + c.grammar + "\"\n");
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(quill_grammar, the_start_rule_is_looked_up_in_every_transcription) {
    const std::string echo = "main: grammar:\nroot ::= [h] [i] \n\n";
    struct rule_case {
        std::vector<std::string> args;
        std::string echo;
        bool warns;
    };
    const rule_case cases[] = {
        {{"--grammar", "root ::= \"hi\"", "--grammar-rule", "nope"}, echo, true},
        {{"--grammar", "root ::= \"hi\"", "--grammar-rule", "root"}, echo, false},
        {{"--grammar", "root ::= \"hi\""}, echo, false},
        {{"--grammar-rule", "nope"}, "", false},
    };
    for (const rule_case & c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const process_result result = run_with_grammar(c.args, k_two_seconds_of_silence);
        EXPECT_EQ(result.exit_status, 0);
        // Every transcription opens with an empty line on standard output.
        const size_t transcriptions = count_of("\n" + result.out, "\n\n");
        EXPECT_GE(transcriptions, 2u);
        EXPECT_GE(count_of(result.out, "\"text\": \" hello world.\""), transcriptions);
        std::string expected_err = c.echo;
        for (size_t i = 0; c.warns && i < transcriptions; ++i) {
            expected_err += k_missing_rule_warning;
        }
        EXPECT_EQ(result.err, expected_err);
    }
}

} // namespace
