#pragma once

#include <cstdint>
#include <random>

#include "gpt_vocab.h"

// Both samplers choose the next token id from one logit per entry of
// vocab.id_to_token: temperature scaling, the top_k greatest scores, a
// softmax, the smallest head whose probability reaches top_p (skipped when
// top_p >= 1 or not a number), then one draw that takes exactly two outputs
// of the caller's generator. The same generator state and inputs give the
// same token on every platform.
//
// Arguments outside their useful range are clamped rather than trusted:
// top_k is held to 1 .. n; a temperature that is not positive (or so small
// that its reciprocal overflows) takes the greatest logit, lowest id first
// on a tie, without touching the generator; a logit or score that is not a
// number counts as minus infinity; an empty vocabulary gives 0 without a draw.
int32_t gpt_sample_top_k_top_p(const gpt_vocab & vocab, const float * logits, int32_t top_k, double top_p,
                               double temp, std::mt19937 & generator);

// As above, after dividing the scores of tokens seen among the last
// repeat_last_n of the recent tokens by repeat_penalty (multiplying them when
// the logit is negative), so that a penalty above 1 always makes a repeat
// less likely. Scores are computed in single precision here. The window is
// held to the recent_count tokens given; recent_tokens may be null when
// recent_count is 0.
int32_t gpt_sample_top_k_top_p_repeat(const gpt_vocab & vocab, const float * logits, const int32_t * recent_tokens,
                                      uint64_t recent_count, int32_t top_k, double top_p, double temp,
                                      int32_t repeat_last_n, float repeat_penalty, std::mt19937 & generator);
