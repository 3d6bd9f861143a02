#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "whisper.h"

// The library turns a prompt text into tokens with a matcher whose stack
// and time grow with the text, and would do it in every transcription. The
// transcriber tokenises the prompt once, before the first transcription, and
// passes the tokens instead; this bound keeps that one step safe and short
// (the reasoning is beside the stack size in prompt_tokens.cpp).
constexpr size_t k_max_prompt_bytes = 8192;

// What is wrong with `prompt` as the value of "--prompt", worded to follow
// "value ", or "" when it can be tokenised.
std::string prompt_refusal(const std::string & prompt);

// How tokenising the prompt ended: `failure` is "" when the tokens are there;
// otherwise it says why the thread could not be started (`started` false) or
// what the library threw. `tokens` is set once the prompt is tokenised, and
// may then be empty: a model whose vocabulary has no piece of the prompt
// gives none.
struct prompt_tokenization {
    bool started = true;
    std::string failure;
    std::optional<std::vector<whisper_token>> tokens;
};

// The prompt in the model's tokens, made on a thread whose stack this program
// sizes itself: the process's stack limit (and on macOS the small default of
// secondary threads) plays no part. An empty prompt is not tokenised: as
// text it costs the library nothing.
prompt_tokenization tokenize_prompt(whisper_context * ctx, const std::string & prompt);
