#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "gpt_vocab.h"

// Appends the words of `text` to `words`: the pre-tokeniser's cuts, as the
// pattern
//   's|'t|'re|'ve|'m|'ll|'d| ?[[:alpha:]]+| ?[[:digit:]]+| ?[^\s[:alpha:][:digit:]]+|\s+(?!\S)|\s+
// (ECMAScript, ASCII classes) would find them one after the other. The words
// joined give back `text`.
void gpt_split_words(std::string text, std::vector<std::string> & words);

// Token ids of `text`: special tokens are cut out first, the rest is split
// into words, and each word is covered by greedy longest match against
// `token_to_id`. Each byte that no entry covers is reported on stderr and
// yields no id.
std::vector<int32_t> gpt_tokenize(const gpt_vocab & vocab, const std::string & text);

// Texts with their expected ids, from lines "text => id,id,...". A bad id
// throws the standard conversion exception.
std::map<std::string, std::vector<int32_t>> extract_tests_from_file(const std::string & test_file);

// Tokenises every text of the test file and reports the mismatches and a
// summary on stderr. Ids missing from `id_to_token` are added with an empty
// text when printed.
void test_gpt_tokenizer(gpt_vocab & vocab, const std::string & test_file);
