#include "gpt_vocab.h"

void gpt_vocab::add_special_token(const std::string & token) {
    special_tokens.push_back(token);
}
