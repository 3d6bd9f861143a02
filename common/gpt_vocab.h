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
