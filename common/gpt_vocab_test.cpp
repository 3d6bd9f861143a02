#include "gpt_vocab.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "temp_dir_test.h"

namespace {

using token_map = std::map<std::string, int32_t>;

class vocab_file : public temp_dir_test {
protected:
    token_map parse(const std::string & contents) { return json_parse(file_with("vocab.json", contents)); }
};

TEST_F(vocab_file, json_parse_reads_the_pairs_the_scan_finds) {
    struct {
        std::string contents;
        token_map pairs;
    } const cases[] = {
        {"", {}},
        {" {\"a\": 1}", {}},
        {"\n{\"a\": 1}", {}},
        {"\xEF\xBB\xBF{\"a\": 1}", {}},
        {"[\"a\", 1]", {}},
        {"{}", {}},
        {"{\"a\": 1, \"b\": 2}", {{"a", 1}, {"b", 2}}},
        {"{\"a\":1,\"b\":2}", {{"a", 1}, {"b", 2}}},
        {"{\"a\" : 1}", {{"a", 1}}},
        {"{\"a\":\t1}", {{"a", 1}}},                  // the tab is no space, but the number skips it
        {"{\"a\": \"7\"}", {{"a", 7}}},
        {"{\"a\": \"x\", \"b\": 2}", {{"b", 2}}},
        {"{\"a\": 1.5}", {{"a", 1}}},
        {"{\"a\": -3}", {{"a", -3}}},
        {"{\"a\": 99999999999, \"b\": 1}", {{"b", 1}}},  // beyond 32 bits
        {"{\"a\": 2147483647}", {{"a", 2147483647}}},
        {"{\"a\": true, \"b\": 1}", {{"b", 1}}},
        {"{\"a\": 1, \"b\": 2", {{"a", 1}, {"b", 2}}},  // no closing brace
        {"{\"a\": 1, \"a\": 2}", {{"a", 2}}},
        {"{\"\\u0120the\": 1}", {{" the", 1}}},
        {"{\"\\u010a\": 1}", {{"\n", 1}}},
        {"{\"\\u0120\\u010a\\u0120\": 1}", {{" \n ", 1}}},
        {"{\"a\\\"b\": 1}", {{"a\"b", 1}}},
        {"{\"a\\\\b\": 1}", {{"a\\\\b", 1}}},  // an escaped backslash stays two
        {"{\"\\u00e9\": 1}", {{"\\u00e9", 1}}},
        {"{\"\": 1}", {{"", 1}}},
        {"{\"a\": {\"b\": 1}, \"c\": 2}", {{"c", 2}}},
        {"{\"a\": {\"b\": 1, \"d\": 4}, \"c\": 2}", {{"c", 2}, {"d", 4}}},
        {"{\"a\": [1, 2], \"c\": 3}", {{"c", 3}}},
        {"{\"a\"\n: 1, \"b\": 2}", {{"b", 2}}},  // the newline is taken as the colon
        {"{\"a\":\n1}", {{"a", 1}}},
        {"{\"a\": 1} \"b\": 2", {{"a", 1}, {"b", 2}}},
        {"{\"a\": 1, \"b\"", {{"a", 1}}},
        {"{\"a\": 1, \"b\": ", {{"a", 1}}},
        {"{\"a\": 1, \"b", {{"a", 1}}},
        {"{\"a\": 1, \"b\\", {{"a", 1}}},
        {std::string("{\"a\0b\": 1}", 10), {{std::string("a\0b", 3), 1}}},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(parse(c.contents), c.pairs) << testing::PrintToString(c.contents);
    }
}

TEST_F(vocab_file, json_parse_ends_the_process_when_the_file_does_not_open) {
    const std::string missing = dir + "/missing.json";
    EXPECT_EXIT(json_parse(missing), testing::ExitedWithCode(1), testing::StrEq("Failed to open " + missing + "\n"));
}

TEST(replace, replaces_every_occurrence_without_cascading) {
    struct {
        std::string s, from, to, result;
    } const cases[] = {
        {"aab", "ab", "b", "ab"},
        {"a.b.c", ".", "--", "a--b--c"},
        {"aaa", "a", "aa", "aaaaaa"},
        {"aaaa", "aa", "a", "aa"},
        {"abc", "abc", "", ""},
        {"abc", "x", "y", "abc"},
        {"abc", "b", "b", "abc"},
        {"", "a", "b", ""},
        {"abc", "", "x", "abc"},  // no caller searches for nothing; it must not loop
    };
    for (const auto & c : cases) {
        EXPECT_EQ(replace(c.s, c.from, c.to), c.result) << c.s << " / " << c.from << " / " << c.to;
    }
}

TEST_F(vocab_file, gpt_vocab_init_replaces_token_to_id_and_adds_to_id_to_token) {
    const std::string path = file_with("vocab.json", "{\"a\": 5, \"b\": 5, \"c\": 6}");
    gpt_vocab vocab;
    vocab.token_to_id = {{"old", 9}};
    vocab.id_to_token = {{9, "old"}, {6, "was six"}};
    vocab.add_special_token("<s>");

    testing::internal::CaptureStdout();
    EXPECT_TRUE(gpt_vocab_init(path, vocab));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "gpt_vocab_init: loading vocab from '" + path + "'\ngpt_vocab_init: vocab size = 3\n");

    EXPECT_EQ(vocab.token_to_id, (token_map{{"a", 5}, {"b", 5}, {"c", 6}}));
    EXPECT_EQ(vocab.id_to_token, (std::map<int32_t, std::string>{{5, "b"}, {6, "c"}, {9, "old"}}));
    EXPECT_EQ(vocab.special_tokens, std::vector<std::string>{"<s>"});
}

TEST_F(vocab_file, gpt_vocab_init_ends_the_process_after_its_first_line_when_the_file_does_not_open) {
    const std::string missing = dir + "/missing.json";
    EXPECT_EXIT(
        {
            // Both streams in one, unbuffered, to see what comes out in which order.
            dup2(2, 1);
            std::setvbuf(stdout, nullptr, _IONBF, 0);
            gpt_vocab vocab;
            gpt_vocab_init(missing, vocab);
        },
        testing::ExitedWithCode(1),
        testing::StrEq("gpt_vocab_init: loading vocab from '" + missing + "'\nFailed to open " + missing + "\n"));
}

TEST(gpt_vocab, add_special_token_keeps_order_duplicates_and_empty_tokens) {
    gpt_vocab vocab;
    for (const char * token : {"<b>", "<a>", "<b>", ""}) {
        vocab.add_special_token(token);
    }
    EXPECT_EQ(vocab.special_tokens, (std::vector<std::string>{"<b>", "<a>", "<b>", ""}));
}

} // namespace
