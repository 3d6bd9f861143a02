// Grammar-constrained decoding through the real program: how "--grammar" is
// read and echoed, the grammars that stop start-up, and the start rule that
// each transcription looks up.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "grammar_texts.h"
#include "process.h"

namespace {

const std::string k_model = std::string(TEST_MODEL_DIR) + "/fixed.bin";

// Two seconds of silence: long enough for a cut, so the open chunk is
// transcribed several times.
const std::string k_two_seconds_of_silence(2 * 16000 * 2, '\0');

const char k_missing_rule_warning[] =
    "whisper_processing_thread: warning: grammar rule 'nope' not found - skipping grammar sampling\n";

// "--no-prints" silences the library and the processing lines, so standard
// error holds only what the grammar handling writes.
process_result run_quill(std::vector<std::string> args, const std::string & input = "") {
    args.insert(args.begin(), {QUILL_BINARY, "-m", k_model, "--no-prints"});
    args.push_back("-");
    return run_process(args, input, std::chrono::seconds(60));
}

class quill_grammar : public testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir("quill_grammar_");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        for (const std::string & path : files_) {
            unlink(path.c_str());
        }
        rmdir(dir_.c_str());
    }
    std::string grammar_file(const std::string & name, const std::string & contents) {
        const std::string path = dir_ + "/" + name;
        write_file(path, contents);
        files_.push_back(path);
        return path;
    }
    const std::string & directory() const { return dir_; }

private:
    std::string dir_;
    std::vector<std::string> files_;
};

const char k_grammar_with_nul[] = "root ::= [^a]\n\0junk ::= (";

size_t count_of(const std::string & text, const std::string & needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

TEST_F(quill_grammar, echoes_the_rules_of_a_file_or_of_the_text_itself) {
    struct echo_case {
        std::string grammar;
        std::string listing;
    };
    const echo_case cases[] = {
        {"root ::= \"hi\" | [0-9]+", "root ::= [h] [i] | root_1 \nroot_1 ::= [0-9] root_1 | [0-9] \n"},
        {grammar_file("crlf.gbnf", "# answers\r\nroot ::= (\"yes\" | \"no\") [ \\t]*\r\n"),
         "root ::= root_1 root_2 \nroot_1 ::= [y] [e] [s] | [n] [o] \nroot_2 ::= [ <U+0009>] root_2 | \n"},
        // The whole file is read, but a NUL byte ends the grammar text.
        {grammar_file("nul.gbnf", std::string(k_grammar_with_nul, sizeof k_grammar_with_nul - 1)), "root ::= [^a] \n"},
    };
    for (const echo_case & c : cases) {
        SCOPED_TRACE(c.grammar);
        const process_result result = run_quill({"--grammar", c.grammar});
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "main: grammar:\n" + c.listing + "\n");
    }
}

TEST_F(quill_grammar, a_grammar_without_rules_stops_start_up_with_status_4) {
    struct failure_case {
        std::string grammar;
        std::string parser_message;
    };
    const failure_case cases[] = {
        {"# only a comment\n", ""},
        {grammar_file("comments.gbnf", "  # nothing\n\n# here\n"), ""},
        {"root ::= other", "parse: error parsing grammar: reference to undefined rule 'other'\n"},
        {grammar_file("undefined.gbnf", "root ::= item+\n"),
         "parse: error parsing grammar: reference to undefined rule 'item'\n"},
        {"root ::= (\"a\"", "parse: error parsing grammar: expecting ')' at \n"},
        // It opens but cannot be read: nothing to parse.
        {directory(), ""},
        // No such file, so the path itself is read as grammar text.
        {"/nonexistent/answers.gbnf", "parse: error parsing grammar: expecting name at /nonexistent/answers.gbnf\n"},
        // What the library's grammar sampling would not survive: endless
        // expansion, a stack overflow, a decoding that never ends.
        {"root ::= root \"a\" | \"b\"", "parse: error parsing grammar: rule 'root' is left-recursive: root -> root\n"},
        {"root ::= item \"a\" | \"b\"\nitem ::= \" \"? root\n",
         "parse: error parsing grammar: rule 'root' is left-recursive: root -> item -> root\n"},
        {grammar_file("deep.gbnf", leftmost_chain(1001)),
         "parse: error parsing grammar: rule 'r0' nests more than 1000 rules deep before its first character\n"},
        {grammar_file("chain.gbnf", leftmost_chain(200000)), "parse: error parsing grammar: more than 4096 rules\n"},
        {grammar_file("wide.gbnf", one_rule_with_alternatives(300000)),
         "parse: error parsing grammar: rule 'root' can begin in more than 4096 ways\n"},
    };
    for (const failure_case & c : cases) {
        SCOPED_TRACE(c.grammar);
        const process_result result = run_quill({"--grammar", c.grammar}, k_two_seconds_of_silence);
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
        const process_result result = run_quill(c.args, k_two_seconds_of_silence);
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
