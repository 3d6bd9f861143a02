#include "tokenizer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

enum class byte_class { space, letter, digit, other };

// ASCII classes only: bytes from 0x80 up are "other", so a multi-byte UTF-8
// character stays inside one word.
byte_class classify(char c) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b == ' ' || (b >= '\t' && b <= '\r')) {
        return byte_class::space;
    }
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z')) {
        return byte_class::letter;
    }
    if (b >= '0' && b <= '9') {
        return byte_class::digit;
    }
    return byte_class::other;
}

// Length of "'s", "'t", "'re", "'ve", "'m", "'ll" or "'d" at s[0] == '\'',
// tried in that order; 0 when none follows.
size_t contraction_length(const char * s, size_t n) {
    static const char * const k_endings[] = {"s", "t", "re", "ve", "m", "ll", "d"};
    for (const char * ending : k_endings) {
        const size_t length = std::strlen(ending);
        if (n > length && std::memcmp(s + 1, ending, length) == 0) {
            return length + 1;
        }
    }
    return 0;
}

// Length of the word that begins at s (n > 0). A regex engine would find the
// same cuts by backtracking, one stack frame per byte, which long runs of
// letters or spaces overflow; each alternative of the pattern is decided here
// by looking at most one byte past a run, so a whole text is split in linear
// time. The alternatives in the pattern's order:
//   - a contraction after an apostrophe;
//   - an optional space, then a run of one class: letters, digits, or
//     bytes that are none of letter, digit and white space;
//   - "\s+(?!\S)": a white-space run that ends the text, or the run without
//     its last byte, which then leads the next word;
//   - "\s+": what is left, a single white-space byte before a non-space.
size_t word_length(const char * s, size_t n) {
    if (s[0] == '\'') {
        if (const size_t length = contraction_length(s, n)) {
            return length;
        }
    }
    const size_t start = (s[0] == ' ' && n > 1 && classify(s[1]) != byte_class::space) ? 1 : 0;
    const byte_class run_class = classify(s[start]);
    size_t end = start + 1;
    while (end < n && classify(s[end]) == run_class) {
        end++;
    }
    if (run_class != byte_class::space || end == n || end == 1) {
        return end;
    }
    return end - 1;
}

// Calls on_word(offset, length) for each word of s[0, n).
template <typename on_word_t> void for_each_word(const char * s, size_t n, on_word_t on_word) {
    for (size_t pos = 0; pos < n;) {
        const size_t length = word_length(s + pos, n - pos);
        on_word(pos, length);
        pos += length;
    }
}

// Finds special tokens as a regex alternation of the literal tokens would:
// the leftmost occurrence wins, and among tokens at the same position the one
// listed first, even when a later one is longer. Calls on_plain(begin, end)
// for every stretch before, between and after them (possibly empty) and
// on_special(begin, length) for each token found. Empty tokens are skipped:
// they would match at every position and never advance.
template <typename on_plain_t, typename on_special_t>
void cut_at_special_tokens(const std::vector<std::string> & specials, const std::string & text, on_plain_t on_plain,
                           on_special_t on_special) {
    // Each token's next occurrence at or after the cut position; it is searched
    // again only when a cut has passed it, so the text is not rescanned for
    // every token at every cut.
    std::vector<size_t> next(specials.size());
    for (size_t k = 0; k < specials.size(); k++) {
        next[k] = specials[k].empty() ? std::string::npos : text.find(specials[k]);
    }
    size_t pos = 0;
    for (;;) {
        size_t best = std::string::npos;
        size_t best_k = 0;
        for (size_t k = 0; k < specials.size(); k++) {
            if (next[k] != std::string::npos && next[k] < pos) {
                next[k] = text.find(specials[k], pos);
            }
            if (next[k] < best) {
                best = next[k];
                best_k = k;
            }
        }
        if (best == std::string::npos) {
            break;
        }
        on_plain(pos, best);
        on_special(best, specials[best_k].size());
        pos = best + specials[best_k].size();
    }
    on_plain(pos, text.size());
}

size_t longest_key_length(const std::map<std::string, int32_t> & token_to_id) {
    size_t longest = 0;
    for (const auto & entry : token_to_id) {
        longest = std::max(longest, entry.first.size());
    }
    return longest;
}

// Greedy longest match of words against the vocabulary. No entry is longer
// than the longest key, so the candidates at a position start there: the
// work per byte is bounded however long the word is.
struct longest_match {
    using entry = std::map<std::string, int32_t>::const_iterator;

    const std::map<std::string, int32_t> & token_to_id;
    size_t longest_key;
    std::string piece;  // reused, so that lookups do not allocate

    // The entry of the longest key that begins s[0, n) (n > 0), or end().
    // Every candidate covers at least one byte: an empty key would match
    // without advancing, so it never matches.
    entry longest_key_at(const char * s, size_t n) {
        const size_t limit = std::min(n, std::max<size_t>(longest_key, 1));
        // Most words are held whole: one lookup.
        piece.assign(s, limit);
        const entry whole = token_to_id.find(piece);
        if (whole != token_to_id.end()) {
            return whole;
        }
        // Otherwise grow the candidate a byte at a time and stop as soon as no
        // key begins with it (the first key not below it would): in a long run
        // of one byte this costs a few lookups per token instead of one for
        // every length up to the longest key.
        entry best = token_to_id.end();
        for (size_t length = 1; length < limit; length++) {
            piece.assign(s, length);
            const entry next = token_to_id.lower_bound(piece);
            if (next == token_to_id.end() || next->first.compare(0, length, piece) != 0) {
                break;
            }
            if (next->first.size() == length) {
                best = next;
            }
        }
        return best;
    }

    void append_ids(const char * word, size_t n, std::vector<int32_t> & ids) {
        for (size_t i = 0; i < n;) {
            const entry found = longest_key_at(word + i, n - i);
            if (found == token_to_id.end()) {
                const char byte[2] = {word[i], '\0'};
                std::fprintf(stderr, "%s: unknown token '%s'\n", "gpt_tokenize", byte);
                i++;
                continue;
            }
            ids.push_back(found->second);
            i += found->first.size();
        }
    }
};

void print_tokens(gpt_vocab & vocab, const std::vector<int32_t> & ids) {
    for (const int32_t id : ids) {
        std::fprintf(stderr, "%s(%d), ", vocab.id_to_token[id].c_str(), id);
    }
    std::fprintf(stderr, "\n");
}

} // namespace

void gpt_split_words(std::string text, std::vector<std::string> & words) {
    for_each_word(text.data(), text.size(), [&](size_t pos, size_t length) { words.emplace_back(text, pos, length); });
}

namespace {

std::vector<int32_t> tokenize_with(longest_match & matcher, const gpt_vocab & vocab, const std::string & text) {
    std::vector<int32_t> ids;
    // Words are tokenised as they are found instead of being collected first:
    // the same ids, without holding a copy of every word of a long text.
    const auto tokenize_plain = [&](size_t begin, size_t end) {
        for_each_word(text.data() + begin, end - begin,
                      [&](size_t pos, size_t length) { matcher.append_ids(text.data() + begin + pos, length, ids); });
    };
    const auto tokenize_special = [&](size_t begin, size_t length) {
        matcher.append_ids(text.data() + begin, length, ids);
    };
    cut_at_special_tokens(vocab.special_tokens, text, tokenize_plain, tokenize_special);
    return ids;
}

// Finding the longest key walks the whole vocabulary: once per call, or once
// for every line of a test file.
longest_match matcher_for(const gpt_vocab & vocab) {
    return longest_match{vocab.token_to_id, longest_key_length(vocab.token_to_id), {}};
}

} // namespace

std::vector<int32_t> gpt_tokenize(const gpt_vocab & vocab, const std::string & text) {
    longest_match matcher = matcher_for(vocab);
    return tokenize_with(matcher, vocab, text);
}

std::map<std::string, std::vector<int32_t>> extract_tests_from_file(const std::string & test_file) {
    std::map<std::string, std::vector<int32_t>> tests;
    if (test_file.empty()) {
        std::fprintf(stderr, "%s : No test file found.\n", __func__);
        return tests;
    }
    static const std::string k_separator = " => ";
    std::ifstream file(test_file, std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
        const size_t separator = line.find(k_separator);
        if (separator == std::string::npos) {
            continue;
        }
        std::vector<int32_t> expected;
        std::istringstream pieces(line.substr(separator + k_separator.size()));
        std::string piece;
        while (std::getline(pieces, piece, ',')) {
            expected.push_back(std::stoi(piece));
        }
        tests[line.substr(0, separator)] = std::move(expected);
    }
    return tests;
}

void test_gpt_tokenizer(gpt_vocab & vocab, const std::string & test_file) {
    const auto tests = extract_tests_from_file(test_file);
    longest_match matcher = matcher_for(vocab);
    size_t n_fails = 0;
    for (const auto & test : tests) {
        const std::vector<int32_t> ids = tokenize_with(matcher, vocab, test.first);
        if (ids == test.second) {
            continue;
        }
        n_fails++;
        std::fprintf(stderr, "%s : failed test: '%s'\n", __func__, test.first.c_str());
        std::fprintf(stderr, "%s : tokens in hf:   ", __func__);
        print_tokens(vocab, test.second);
        std::fprintf(stderr, "%s : tokens in ggml: ", __func__);
        print_tokens(vocab, ids);
    }
    std::fprintf(stderr, "%s : %zu tests failed out of %zu tests.\n", __func__, n_fails, tests.size());
}
