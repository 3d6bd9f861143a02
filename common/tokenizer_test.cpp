#include "tokenizer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir_test.h"
#include "text_corpus.h"

namespace {

using words = std::vector<std::string>;
using ids = std::vector<int32_t>;

words split(const std::string & text) {
    words result;
    gpt_split_words(text, result);
    return result;
}

std::string joined(const words & parts) {
    std::string text;
    for (const std::string & part : parts) {
        text += part;
    }
    return text;
}

// The word pattern as a regex engine reads it: the reference for short texts
// (it recurses once per matched byte, so only short ones).
const char k_word_pattern[] =
    "'s|'t|'re|'ve|'m|'ll|'d| ?[[:alpha:]]+| ?[[:digit:]]+| ?[^\\s[:alpha:][:digit:]]+|\\s+(?!\\S)|\\s+";

words regex_split(const std::string & text) {
    static const std::regex pattern(k_word_pattern);
    words result;
    std::string rest = text;
    std::smatch match;
    while (std::regex_search(rest, match, pattern)) {
        result.push_back(match.str());
        rest = match.suffix();
    }
    return result;
}

// A text of `length` bytes drawn from `alphabet`.
std::string random_text(std::mt19937 & rng, const std::string & alphabet, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; i++) {
        text += alphabet[rng() % alphabet.size()];
    }
    return text;
}

TEST(gpt_split_words, cuts_the_words_of_the_pattern) {
    struct {
        std::string text;
        words expected;
    } const cases[] = {
        {"", {}},
        {"Hello world", {"Hello", " world"}},
        {"I'm here!!", {"I", "'m", " here", "!!"}},
        {"3.14", {"3", ".", "14"}},
        {"a, b", {"a", ",", " b"}},
        {"don't", {"don", "'t"}},
        {"DON'T", {"DON", "'", "T"}},
        {"x 'll", {"x", " '", "ll"}},
        {"'s't're've'm'll'd", {"'s", "'t", "'re", "'ve", "'m", "'ll", "'d"}},
        {"'S 'r '", {"'", "S", " '", "r", " '"}},
        {"it's.", {"it", "'s", "."}},
        {"a  b", {"a", " ", " b"}},
        {"a\tb", {"a", "\t", "b"}},
        {"\n\nword", {"\n", "\n", "word"}},
        {"hi  ", {"hi", "  "}},
        {" ", {" "}},
        {"\t \n", {"\t \n"}},
        {" \t x", {" \t", " x"}},
        {"x\r\n", {"x", "\r\n"}},
        {"x\v\fy", {"x", "\v", "\f", "y"}},
        {"h\xC3\xA9llo", {"h", "\xC3\xA9", "llo"}},
        {"ab12cd", {"ab", "12", "cd"}},
        {" 12 ab .. ", {" 12", " ab", " ..", " "}},
        {std::string("a\0b", 3), {"a", std::string(1, '\0'), "b"}},
        {"a_b-c", {"a", "_", "b", "-", "c"}},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(split(c.text), c.expected) << testing::PrintToString(c.text);
        EXPECT_EQ(regex_split(c.text), c.expected) << "reference: " << testing::PrintToString(c.text);
    }
}

TEST(gpt_split_words, appends_to_the_words_already_there) {
    words result = {"kept"};
    gpt_split_words("a b", result);
    EXPECT_EQ(result, (words{"kept", "a", " b"}));
}

TEST(gpt_split_words, agrees_with_the_pattern_on_random_texts) {
    ASSERT_EQ(sizeof(k_word_pattern) - 1, 94u);
    // Bytes of every class, the contraction letters, and the bytes the
    // classes treat specially (the space, 0x80 and up, NUL).
    const std::string alphabet("aZstrevmld'7 \t\n\v\f\r.!\xC3\xA9\x80\xFF\0", 25);
    std::mt19937 rng(1);
    for (int round = 0; round < 20000; round++) {
        const std::string text = random_text(rng, alphabet, rng() % 24);
        const words result = split(text);
        ASSERT_EQ(result, regex_split(text)) << testing::PrintToString(text);
        ASSERT_EQ(joined(result), text);
    }
}

// Runs that a backtracking engine would recurse through byte by byte.
TEST(gpt_split_words, long_runs_split_whole) {
    struct {
        char byte;
        std::string tail;
        size_t word_count;
    } const cases[] = {
        {'a', "", 1},
        {' ', "", 1},
        {' ', "x", 2},  // the run less one space, then " x"
        {'!', "", 1},
    };
    for (const auto & c : cases) {
        const std::string text = std::string(16u << 20, c.byte) + c.tail;
        const words result = split(text);
        EXPECT_EQ(result.size(), c.word_count);
        EXPECT_TRUE(joined(result) == text);
    }
}

TEST(gpt_split_words, joined_words_give_back_a_long_mixed_text) {
    // Its words are short: the 16 MiB figure is the benchmark's, this is about the cuts.
    const std::string text = make_english_like_text(make_lexicon(2000, 3), 2u << 20, 4);
    const words result = split(text);
    EXPECT_GT(result.size(), text.size() / 10);
    EXPECT_TRUE(joined(result) == text);
}

gpt_vocab vocab_of(const std::map<std::string, int32_t> & tokens, const words & specials = {}) {
    gpt_vocab vocab;
    vocab.token_to_id = tokens;
    for (const auto & entry : tokens) {
        vocab.id_to_token[entry.second] = entry.first;
    }
    for (const std::string & special : specials) {
        vocab.add_special_token(special);
    }
    return vocab;
}

struct tokenized {
    ids result;
    std::string err;
};

tokenized tokenize(const gpt_vocab & vocab, const std::string & text) {
    testing::internal::CaptureStderr();
    tokenized t;
    t.result = gpt_tokenize(vocab, text);
    t.err = testing::internal::GetCapturedStderr();
    return t;
}

TEST(gpt_tokenize, covers_each_word_by_greedy_longest_match) {
    const gpt_vocab vocab = vocab_of({{"a", 1}, {"ab", 2}, {"abc", 3}, {"b", 4}, {" ", 5}, {" a", 6}, {"c", 7}});
    struct {
        std::string text;
        ids expected;
        std::string err;
    } const cases[] = {
        {"", {}, ""},
        {"abc", {3}, ""},
        {"abcab", {3, 2}, ""},
        {"abab", {2, 2}, ""},
        {"a ab", {1, 6, 4}, ""},  // words never join: "a" and " ab"
        {"zz", {}, "gpt_tokenize: unknown token 'z'\ngpt_tokenize: unknown token 'z'\n"},
        {"azb", {1, 4}, "gpt_tokenize: unknown token 'z'\n"},
        {"a\xC3\xA9", {1}, "gpt_tokenize: unknown token '\xC3'\ngpt_tokenize: unknown token '\xA9'\n"},
    };
    for (const auto & c : cases) {
        const tokenized t = tokenize(vocab, c.text);
        EXPECT_EQ(t.result, c.expected) << testing::PrintToString(c.text);
        EXPECT_EQ(t.err, c.err) << testing::PrintToString(c.text);
    }
}

// Every length from the longest down, one lookup each: the plain reading of
// greedy longest match, against which the tokeniser's shortcuts are checked.
ids greedy_reference(const gpt_vocab & vocab, const std::string & word, size_t & unknown) {
    ids result;
    for (size_t i = 0; i < word.size();) {
        size_t length = word.size() - i;
        while (length > 0 && vocab.token_to_id.count(word.substr(i, length)) == 0) {
            length--;
        }
        if (length == 0) {
            unknown++;
            i++;
        } else {
            result.push_back(vocab.token_to_id.at(word.substr(i, length)));
            i += length;
        }
    }
    return result;
}

TEST(gpt_tokenize, greedy_match_agrees_with_trying_every_length_on_random_vocabularies) {
    std::mt19937 rng(3);
    for (int round = 0; round < 2000; round++) {
        std::map<std::string, int32_t> tokens;
        const size_t count = 1 + rng() % 12;
        for (size_t k = 0; k < count; k++) {
            tokens[random_text(rng, "abc", 1 + rng() % 5)] = static_cast<int32_t>(k);
        }
        const gpt_vocab vocab = vocab_of(tokens);
        const std::string word = random_text(rng, "abc", rng() % 20);  // letters only: one word

        size_t unknown = 0;
        const ids expected = greedy_reference(vocab, word, unknown);
        const tokenized t = tokenize(vocab, word);
        ASSERT_EQ(t.result, expected) << word << " " << testing::PrintToString(tokens);
        ASSERT_EQ(split_lines(t.err).size(), unknown);
    }
}

TEST(gpt_tokenize, cuts_special_tokens_first) {
    const std::map<std::string, int32_t> tokens = {
        {"a", 1}, {"b", 2}, {"c", 3}, {"ab", 4}, {"abc", 5}, {" ", 6}, {"hello", 7}, {"<|end|>", 8},
        {" <", 9}, {"|", 10}, {"end", 11}, {">", 12}, {"<", 13}, {"[x]|(y).", 14}, {"x", 15}, {" a", 16}};
    struct {
        words specials;
        std::string text;
        ids expected;
    } const cases[] = {
        {{}, "abc", {5}},
        {{"ab", "abc"}, "abc", {4, 3}},  // the first listed wins at a position
        {{"abc", "ab"}, "abc", {5}},
        {{"bc", "ab"}, "abc", {4, 3}},  // the leftmost wins whatever the order
        {{"<|end|>"}, "hello <|end|>", {7, 6, 8}},
        {{}, "hello <|end|>", {7, 9, 10, 11, 10, 12}},
        {{"[x]|(y)."}, "a[x]|(y).b", {1, 14, 2}},
        {{"[x]|(y)."}, "ax", {1, 15}},  // no regex meaning: "x" alone is not the token
        {{"<x>"}, "a<x>", {1, 13, 15, 12}},  // not in the vocabulary: tokenised as a word
        {{"", "b"}, "abc", {1, 2, 3}},  // empty special tokens are skipped
        {{""}, " a", {16}},
        {{"b"}, "bbb", {2, 2, 2}},
        {{"a", "b"}, "a b", {1, 6, 2}},  // the space before a special token stands alone
    };
    for (const auto & c : cases) {
        const tokenized t = tokenize(vocab_of(tokens, c.specials), c.text);
        EXPECT_EQ(t.result, c.expected) << testing::PrintToString(c.specials) << " " << c.text;
        EXPECT_EQ(t.err, "");
    }
}

// The special tokens as one regex alternation, each with the fourteen syntax
// characters escaped; the reference for where the tokens are cut.
std::regex special_token_pattern(const words & specials) {
    std::string pattern;
    for (const std::string & special : specials) {
        if (!pattern.empty()) {
            pattern += "|";
        }
        for (const char c : special) {
            if (std::string("^$\\.*+?()[]{}|").find(c) != std::string::npos) {
                pattern += '\\';
            }
            pattern += c;
        }
    }
    return std::regex(pattern);
}

TEST(gpt_tokenize, cuts_special_tokens_where_the_escaped_alternation_matches) {
    // The apostrophe and "s" catch a word that reads past its stretch into a token.
    const std::string alphabet = "ab's^$\\.*+?()[]{}|";
    std::mt19937 rng(2);
    for (int round = 0; round < 3000; round++) {
        words specials;
        const size_t count = 1 + rng() % 4;
        for (size_t k = 0; k < count; k++) {
            specials.push_back(random_text(rng, alphabet, 1 + rng() % 3));
        }
        const std::string text = random_text(rng, alphabet, rng() % 30);

        // Single bytes get their own ids, so every cut shows in the ids.
        std::map<std::string, int32_t> tokens;
        for (const char c : alphabet) {
            tokens[std::string(1, c)] = static_cast<unsigned char>(c);
        }
        for (size_t k = 0; k < specials.size(); k++) {
            tokens[specials[k]] = static_cast<int32_t>(1000 + k);
        }

        ids expected;
        std::string rest = text;
        std::smatch match;
        const std::regex pattern = special_token_pattern(specials);
        const auto add_bytes = [&](const std::string & plain) {
            for (const char c : plain) {
                expected.push_back(tokens.at(std::string(1, c)));
            }
        };
        while (std::regex_search(rest, match, pattern)) {
            add_bytes(match.prefix());
            expected.push_back(tokens.at(match.str()));
            rest = match.suffix();
        }
        add_bytes(rest);

        ASSERT_EQ(tokenize(vocab_of(tokens, specials), text).result, expected)
            << testing::PrintToString(specials) << " " << text;
    }
}

TEST(gpt_tokenize, long_runs_tokenise_in_bounded_work) {
    const gpt_vocab vocab = vocab_of({{"a", 1}, {"aa", 2}, {" ", 3}, {"   ", 4}});
    const size_t big = 16u << 20;
    EXPECT_EQ(tokenize(vocab, std::string(big, 'a')).result, ids(big / 2, 2));
    EXPECT_EQ(tokenize(vocab, std::string(big + 1, ' ')).result.size(), (big + 1) / 3 + (big + 1) % 3);
}

using tokenizer_files = temp_dir_test;

TEST_F(tokenizer_files, a_realistic_vocabulary_file_loads_and_round_trips_a_text) {
    const std::vector<std::string> lexicon = make_lexicon(10000, 5);
    const std::vector<std::string> tokens = make_vocab_tokens(lexicon, 50000);
    ASSERT_GE(tokens.size(), 50000u);
    const std::string path = file_with("vocab.json", flat_vocab_json(tokens));

    gpt_vocab vocab;
    testing::internal::CaptureStdout();
    gpt_vocab_init(path, vocab);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "gpt_vocab_init: loading vocab from '" + path +
                                                          "'\ngpt_vocab_init: vocab size = " +
                                                          std::to_string(tokens.size()) + "\n");
    ASSERT_EQ(vocab.token_to_id.size(), tokens.size());
    for (size_t id = 0; id < tokens.size(); id++) {
        ASSERT_EQ(vocab.id_to_token.at(static_cast<int32_t>(id)), tokens[id]);
    }

    const std::string text = make_english_like_text(lexicon, 256 << 10, 6);
    const tokenized t = tokenize(vocab, text);
    EXPECT_EQ(t.err, "");
    std::string round_trip;
    for (const int32_t id : t.result) {
        round_trip += vocab.id_to_token.at(id);
    }
    EXPECT_TRUE(round_trip == text);
    // Whole words, with their leading spaces, are single tokens.
    EXPECT_LT(t.result.size(), text.size() / 4);
    EXPECT_EQ(tokenize(vocab, " " + lexicon[0]).result, ids{vocab.token_to_id.at(" " + lexicon[0])});
}

// A vocabulary file may hold the empty text as a key; a lookup always covers
// at least one byte, so that key never matches.
TEST_F(tokenizer_files, an_empty_key_never_matches) {
    struct {
        const char * vocab_json;
        ids expected;
        std::string err;
    } const cases[] = {
        {"{\"\": 5}", {}, "gpt_tokenize: unknown token 'a'\ngpt_tokenize: unknown token 'b'\n"},
        {"{\"\": 5, \"a\": 1}", {1}, "gpt_tokenize: unknown token 'b'\n"},
    };
    for (const auto & c : cases) {
        gpt_vocab vocab;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(gpt_vocab_init(file_with("vocab.json", c.vocab_json), vocab));
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(vocab.token_to_id.count(""), 1u) << c.vocab_json;

        const tokenized t = tokenize(vocab, "ab");
        EXPECT_EQ(t.result, c.expected) << c.vocab_json;
        EXPECT_EQ(t.err, c.err) << c.vocab_json;
    }
}

TEST_F(tokenizer_files, extract_tests_reads_text_and_ids_per_line) {
    const std::string path = file_with("tests.txt",
                                       "hello => 1, 2\n"
                                       "no separator here\n"
                                       "a=>3\n"
                                       " => 4\n"
                                       "x => \n"
                                       "y => 5,6,\n"
                                       "z =>  7x, -8\n"
                                       "crlf => 9\r\n"
                                       "w\r => 10\n"
                                       "hello => 12\n"
                                       "last => 13");
    const std::map<std::string, ids> expected = {
        {"hello", {12}}, {"", {4}},     {"x", {}},        {"y", {5, 6}},
        {"z", {7, -8}},  {"crlf", {9}}, {"w\r", {10}}, {"last", {13}},
    };
    EXPECT_EQ(extract_tests_from_file(path), expected);
}

TEST_F(tokenizer_files, extract_tests_raises_the_conversion_error_of_a_bad_id) {
    struct {
        std::string line;
        bool out_of_range;
    } const cases[] = {
        {"a => 1,,2\n", false},
        {"a => 1, x\n", false},
        {"a => \r\n", false},
        {"a => b => 1\n", false},
        {"a => 2147483648\n", true},
    };
    std::string path;
    for (const auto & c : cases) {
        path = file_with("tests.txt", "fine => 1\n" + c.line);
        if (c.out_of_range) {
            EXPECT_THROW(extract_tests_from_file(path), std::out_of_range) << c.line;
        } else {
            EXPECT_THROW(extract_tests_from_file(path), std::invalid_argument) << c.line;
        }
    }
    gpt_vocab vocab;
    testing::internal::CaptureStderr();
    EXPECT_THROW(test_gpt_tokenizer(vocab, path), std::out_of_range);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // no summary
}

TEST_F(tokenizer_files, extract_tests_without_a_file) {
    testing::internal::CaptureStderr();
    EXPECT_TRUE(extract_tests_from_file("").empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "extract_tests_from_file : No test file found.\n");

    testing::internal::CaptureStderr();
    EXPECT_TRUE(extract_tests_from_file(dir + "/missing.txt").empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(tokenizer_files, test_gpt_tokenizer_reports_each_failure_in_text_order) {
    gpt_vocab vocab = vocab_of({{"a", 1}, {"b", 2}});
    const std::string path = file_with("tests.txt",
                                       "b => 2\n"
                                       "zb => 2\n"
                                       "ab => 1\n"
                                       "a => 7\n");
    testing::internal::CaptureStderr();
    test_gpt_tokenizer(vocab, path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "test_gpt_tokenizer : failed test: 'a'\n"
              "test_gpt_tokenizer : tokens in hf:   (7), \n"
              "test_gpt_tokenizer : tokens in ggml: a(1), \n"
              "test_gpt_tokenizer : failed test: 'ab'\n"
              "test_gpt_tokenizer : tokens in hf:   a(1), \n"
              "test_gpt_tokenizer : tokens in ggml: a(1), b(2), \n"
              "gpt_tokenize: unknown token 'z'\n"
              "test_gpt_tokenizer : 2 tests failed out of 4 tests.\n");
    EXPECT_EQ(vocab.id_to_token, (std::map<int32_t, std::string>{{1, "a"}, {2, "b"}, {7, ""}}));
}

// The tokeniser's own lines for a failing test come before that test's report.
TEST_F(tokenizer_files, test_gpt_tokenizer_reports_unknown_bytes_before_the_failure_they_cause) {
    gpt_vocab vocab = vocab_of({{"a", 1}, {"b", 2}});
    testing::internal::CaptureStderr();
    test_gpt_tokenizer(vocab, file_with("tests.txt", "zb => 1\n"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "gpt_tokenize: unknown token 'z'\n"
              "test_gpt_tokenizer : failed test: 'zb'\n"
              "test_gpt_tokenizer : tokens in hf:   a(1), \n"
              "test_gpt_tokenizer : tokens in ggml: b(2), \n"
              "test_gpt_tokenizer : 1 tests failed out of 1 tests.\n");
}

TEST(test_gpt_tokenizer, without_a_file_reports_zero_tests) {
    gpt_vocab vocab;
    testing::internal::CaptureStderr();
    test_gpt_tokenizer(vocab, "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "extract_tests_from_file : No test file found.\n"
              "test_gpt_tokenizer : 0 tests failed out of 0 tests.\n");
}

} // namespace
