#include "text_corpus.h"

#include <random>
#include <set>

namespace {

const char * const k_common_words[] = {
    "the", "of", "and", "to", "a", "in", "is", "it", "that", "was", "for", "on", "are", "with", "as",
    "he", "she", "they", "be", "at", "one", "have", "this", "from", "by", "not", "but", "what", "all", "were",
};
const char * const k_onsets[] = {"", "b", "c", "d", "f", "g", "h", "j", "k", "l", "m", "n", "p",
                                 "r", "s", "t", "v", "w", "th", "st", "sh", "ch", "tr", "pl", "gr", "br"};
const char * const k_vowels[] = {"a", "e", "i", "o", "u", "ea", "ou", "ai", "ee", "y"};
const char * const k_codas[] = {"", "", "n", "r", "s", "t", "l", "nd", "st", "ng", "ck", "m"};

template <typename T, size_t N> const T & pick(const T (&items)[N], std::mt19937 & rng) { return items[rng() % N]; }

// Low indices far more often than high ones, like word frequencies.
size_t skewed_index(size_t count, std::mt19937 & rng) { return rng() % (1 + rng() % count); }

std::string capitalised(std::string word) {
    if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') {
        word[0] = static_cast<char>(word[0] - 'a' + 'A');
    }
    return word;
}

} // namespace

std::vector<std::string> make_lexicon(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::string> words;
    std::set<std::string> seen;
    const auto add = [&](const std::string & word) {
        if (words.size() < count && seen.insert(word).second) {
            words.push_back(word);
        }
    };
    for (const char * word : k_common_words) {
        add(word);
    }
    while (words.size() < count) {
        std::string word;
        const unsigned syllables = 1 + rng() % 4;
        for (unsigned s = 0; s < syllables; s++) {
            word += pick(k_onsets, rng);
            word += pick(k_vowels, rng);
            word += pick(k_codas, rng);
        }
        add(word);
    }
    return words;
}

std::string make_english_like_text(const std::vector<std::string> & lexicon, size_t bytes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string text;
    text.reserve(bytes + 256);
    for (unsigned sentence = 0; text.size() < bytes; sentence++) {
        const unsigned length = 4 + rng() % 16;
        for (unsigned w = 0; w < length; w++) {
            const unsigned roll = rng() % 100;
            std::string word = roll < 3 ? std::to_string(rng() % 10000) : lexicon[skewed_index(lexicon.size(), rng)];
            if (roll >= 3 && roll < 6) {
                word += (roll == 3) ? "'s" : (roll == 4) ? "'t" : "'ll";
            }
            text += w == 0 ? capitalised(word) : " " + word;
            if (w + 1 < length && rng() % 100 < 8) {
                text += ",";
            }
        }
        const unsigned end = rng() % 10;
        text += end == 0 ? "?" : end == 1 ? "!" : ".";
        text += (sentence % 6 == 5) ? "\n\n" : " ";
    }
    text.resize(bytes);
    return text;
}

std::vector<std::string> make_vocab_tokens(const std::vector<std::string> & lexicon, size_t count) {
    std::vector<std::string> tokens;
    std::set<std::string> seen;
    const auto add = [&](const std::string & token) {
        if (seen.insert(token).second) {
            tokens.push_back(token);
        }
    };
    add("\n");
    for (char c = ' '; c <= '~'; c++) {
        if (c != '\\') {
            add(std::string(1, c));
        }
    }
    for (const char * piece : {"\n\n", ".\n\n", ". ", ", ", "'s", "'t", "'ll", "?\n\n", "!\n\n"}) {
        add(piece);
    }
    for (int number = 0; number < 1000; number++) {
        add(std::to_string(number));
        add(" " + std::to_string(number));
    }
    for (const std::string & word : lexicon) {
        add(word);
        add(" " + word);
        add(" " + capitalised(word));
        add(capitalised(word));
    }
    // Word beginnings, as a byte-pair vocabulary holds them, up to the size asked.
    for (size_t length = 2; tokens.size() < count && length < 12; length++) {
        for (size_t w = 0; w < lexicon.size() && tokens.size() < count; w++) {
            if (lexicon[w].size() > length) {
                add(" " + lexicon[w].substr(0, length));
            }
        }
    }
    return tokens;
}

std::string flat_vocab_json(const std::vector<std::string> & tokens) {
    std::string json = "{";
    for (size_t id = 0; id < tokens.size(); id++) {
        json += id == 0 ? "\n  \"" : ",\n  \"";
        for (const char c : tokens[id]) {
            json += c == ' ' ? "\\u0120" : c == '\n' ? "\\u010a" : c == '"' ? "\\\"" : std::string(1, c);
        }
        json += "\": " + std::to_string(id);
    }
    json += "\n}\n";
    return json;
}
