#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The vocabulary of the text-generation routines: read by the tokeniser and
// the samplers, filled from a flat JSON vocabulary file by gpt_vocab_init.
struct gpt_vocab {
    std::map<std::string, int32_t> token_to_id;
    std::map<int32_t, std::string> id_to_token;
    // Tokens the tokeniser cuts out of the text before ordinary words, in the
    // order they were added.
    std::vector<std::string> special_tokens;

    void add_special_token(const std::string & token);
};

// Reads the token/id pairs of a vocabulary file written as one flat JSON
// object. Not a JSON parser: it scans for quoted keys and integer values and
// drops whatever else it meets (see the .cpp). A file that does not open ends
// the process with status 1; one not starting with "{" gives no pairs.
std::map<std::string, int32_t> json_parse(const std::string & fname);

// `s` with every occurrence of `from` replaced by `to`, scanning left to
// right; inserted text is never searched again.
std::string replace(const std::string & s, const std::string & from, const std::string & to);

// Loads `token_to_id` from the file and adds its pairs to `id_to_token`,
// reporting on stdout. Returns true on every return.
bool gpt_vocab_init(const std::string & fname, gpt_vocab & vocab);
