#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A made-up English-like language and a vocabulary for it, for the tokeniser's
// tests and benchmark. Drawn from raw MT19937 outputs only, so the same seed
// gives the same bytes with every standard library.

// `count` distinct lower-case words, the most frequent first.
std::vector<std::string> make_lexicon(size_t count, uint32_t seed);

// Sentences of lexicon words (frequent ones more often), capitalised, with
// commas, numbers, contractions, and paragraphs; exactly `bytes` long.
std::string make_english_like_text(const std::vector<std::string> & lexicon, size_t bytes, uint32_t seed);

// At least `count` distinct tokens, their ids being their positions: every
// byte the text uses, each lexicon word bare, after a space and capitalised,
// numbers, and word beginnings. Tokens hold no backslash, which the flat
// vocabulary file cannot write as a single byte.
std::vector<std::string> make_vocab_tokens(const std::vector<std::string> & lexicon, size_t count);

// The tokens as a flat JSON vocabulary file, one pair per line, spaces and
// newlines escaped the way such files write them.
std::string flat_vocab_json(const std::vector<std::string> & tokens);
