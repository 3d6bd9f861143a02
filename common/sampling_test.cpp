#include "sampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr float k_inf = std::numeric_limits<float>::infinity();
constexpr float k_nan = std::numeric_limits<float>::quiet_NaN();
constexpr uint32_t k_seeds = 400;

gpt_vocab vocab_of_size(size_t n) {
    gpt_vocab vocab;
    for (size_t i = 0; i < n; ++i) {
        vocab.id_to_token[static_cast<int32_t>(i)] = "t" + std::to_string(i);
    }
    return vocab;
}

struct weighted {
    int32_t id;
    double p;
};

// exp(score) / sum, for scores worked out by hand; the draw walks the result
// in the order given, which must be the order of descending score.
std::vector<weighted> softmax_of(const std::vector<std::pair<int32_t, double>> & scores) {
    double sum = 0.0;
    for (const auto & s : scores) {
        sum += std::exp(s.second);
    }
    std::vector<weighted> out;
    for (const auto & s : scores) {
        out.push_back({s.first, std::exp(s.second) / sum});
    }
    return out;
}

// u from the generator's next two outputs, as o2 * 2^-32 + o1 * 2^-64: both
// terms are exact in double precision, so their sum is rounded just once.
double next_u(std::mt19937 & generator) {
    const uint32_t o1 = static_cast<uint32_t>(generator());
    const uint32_t o2 = static_cast<uint32_t>(generator());
    return std::ldexp(static_cast<double>(o2), -32) + std::ldexp(static_cast<double>(o1), -64);
}

// The id whose share of [0, 1) holds u, or nothing when u lies too close to a
// boundary for rounding in the sampler's arithmetic to be ruled out.
std::optional<int32_t> id_at(const std::vector<weighted> & distribution, double u) {
    double upper = 0.0;
    for (size_t i = 0; i + 1 < distribution.size(); ++i) {
        upper += distribution[i].p;
        if (std::fabs(u - upper) < 1e-9) {
            return std::nullopt;
        }
        if (u < upper) {
            return distribution[i].id;
        }
    }
    return distribution.back().id;
}

struct sampler_case {
    const char * name;
    bool repeat_only;  // otherwise both samplers run, the repeat one without recent tokens
    std::vector<float> logits;
    int32_t top_k;
    double top_p;
    double temp;
    std::vector<int32_t> recent;  // passed as a null pointer when empty
    int32_t repeat_last_n;
    float repeat_penalty;
    bool draws;  // false: the generator must keep its state
    std::vector<weighted> expected;
};

int32_t run_sampler(const sampler_case & c, bool repeat, std::mt19937 & generator) {
    const gpt_vocab vocab = vocab_of_size(c.logits.size());
    if (!repeat) {
        return gpt_sample_top_k_top_p(vocab, c.logits.data(), c.top_k, c.top_p, c.temp, generator);
    }
    return gpt_sample_top_k_top_p_repeat(vocab, c.logits.data(), c.recent.empty() ? nullptr : c.recent.data(),
                                         c.recent.size(), c.top_k, c.top_p, c.temp, c.repeat_last_n,
                                         c.repeat_penalty, generator);
}

// Over many seeds, the sampler must return the id that the expected
// distribution gives for u computed here from the same two outputs, and
// leave its generator exactly two outputs further on (or untouched).
void check_sampler_case(const sampler_case & c) {
    for (const bool repeat : {false, true}) {
        if (!repeat && c.repeat_only) {
            continue;
        }
        SCOPED_TRACE(std::string(c.name) + (repeat ? " (repeat variant)" : " (plain variant)"));
        std::map<int32_t, int> drawn;
        for (uint32_t seed = 1; seed <= k_seeds; ++seed) {
            std::mt19937 generator(seed);
            std::mt19937 expected_state = generator;
            std::optional<int32_t> expected = c.expected.front().id;
            if (c.draws) {
                expected = id_at(c.expected, next_u(expected_state));
            }
            const int32_t id = run_sampler(c, repeat, generator);
            EXPECT_TRUE(generator == expected_state) << "seed " << seed;
            if (expected) {
                EXPECT_EQ(id, *expected) << "seed " << seed;
                ++drawn[*expected];
            }
        }
        for (const weighted & w : c.expected) {
            if (w.p > 0.05) {
                EXPECT_GT(drawn[w.id], 0) << "no seed drew id " << w.id;
            }
        }
    }
}

// Probabilities 0.1, 0.2, 0.3 and 0.4 at temperature 1.
const std::vector<float> k_one_to_four = {std::log(1.0f), std::log(2.0f), std::log(3.0f), std::log(4.0f)};
const std::vector<weighted> k_one_to_four_expected = {{3, 0.4}, {2, 0.3}, {1, 0.2}, {0, 0.1}};
const double k_root_sum = 1.0 + std::sqrt(2.0) + std::sqrt(3.0) + 2.0;

// Logits 1, 0, -1 and 0.75: a positive, a zero and a negative one to penalise.
const std::vector<float> k_signed = {1.0f, 0.0f, -1.0f, 0.75f};

TEST(gpt_sample_top_k_top_p, draws_from_the_hand_computed_distribution) {
    const sampler_case cases[] = {
        // name, repeat only, logits, top_k, top_p, temp, recent, repeat_last_n, penalty, draws, expected
        {"softmax of all", false, k_one_to_four, 4, 1.0, 1.0, {}, 0, 1.0f, true, k_one_to_four_expected},
        {"top_p above 1 cuts nothing", false, k_one_to_four, 4, 1.5, 1.0, {}, 0, 1.0f, true, k_one_to_four_expected},
        {"top_p NaN cuts nothing", false, k_one_to_four, 4, std::nan(""), 1.0, {}, 0, 1.0f, true,
         k_one_to_four_expected},
        {"top_k 2", false, k_one_to_four, 2, 1.0, 1.0, {}, 0, 1.0f, true, {{3, 4 / 7.0}, {2, 3 / 7.0}}},
        {"top_k 1 still draws", false, k_one_to_four, 1, 1.0, 1.0, {}, 0, 1.0f, true, {{3, 1.0}}},
        {"top_p 0 keeps the first", false, k_one_to_four, 4, 0.0, 1.0, {}, 0, 1.0f, true, {{3, 1.0}}},
        {"top_p below 0 keeps the first", false, k_one_to_four, 4, -1.0, 1.0, {}, 0, 1.0f, true, {{3, 1.0}}},
        {"top_p 0.6 cuts after two", false, k_one_to_four, 4, 0.6, 1.0, {}, 0, 1.0f, true,
         {{3, 4 / 7.0}, {2, 3 / 7.0}}},
        {"top_p 0.85 cuts after three", false, k_one_to_four, 4, 0.85, 1.0, {}, 0, 1.0f, true,
         {{3, 4 / 9.0}, {2, 3 / 9.0}, {1, 2 / 9.0}}},
        {"temperature 0.5 squares the weights", false, k_one_to_four, 4, 1.0, 0.5, {}, 0, 1.0f, true,
         {{3, 16 / 30.0}, {2, 9 / 30.0}, {1, 4 / 30.0}, {0, 1 / 30.0}}},
        {"temperature 2 takes their roots", false, k_one_to_four, 4, 1.0, 2.0, {}, 0, 1.0f, true,
         {{3, 2 / k_root_sum}, {2, std::sqrt(3.0) / k_root_sum}, {1, std::sqrt(2.0) / k_root_sum},
          {0, 1 / k_root_sum}}},

        {"penalty lowers positive and negative, keeps zero", true, k_signed, 4, 1.0, 1.0, {0, 1, 2}, 3, 2.0f, true,
         softmax_of({{3, 0.75}, {0, 0.5}, {1, 0.0}, {2, -2.0}})},
        {"penalty below 1 raises a repeat", true, k_signed, 4, 1.0, 1.0, {0}, 1, 0.5f, true,
         softmax_of({{0, 2.0}, {3, 0.75}, {1, 0.0}, {2, -1.0}})},
        {"a token before the window is not penalised", true, k_signed, 4, 1.0, 1.0, {2, 0}, 1, 2.0f, true,
         softmax_of({{3, 0.75}, {0, 0.5}, {1, 0.0}, {2, -1.0}})},
        {"a repeated token is penalised once", true, k_signed, 4, 1.0, 1.0, {0, 0, 0}, 3, 2.0f, true,
         softmax_of({{3, 0.75}, {0, 0.5}, {1, 0.0}, {2, -1.0}})},
        {"temperature scales before the penalty", true, k_signed, 4, 1.0, 0.5, {0, 2}, 2, 2.0f, true,
         softmax_of({{3, 1.5}, {0, 1.0}, {1, 0.0}, {2, -4.0}})},
        {"repeat_last_n 0 penalises nothing", true, k_signed, 4, 1.0, 1.0, {0, 2}, 0, 2.0f, true,
         softmax_of({{0, 1.0}, {3, 0.75}, {1, 0.0}, {2, -1.0}})},
        {"repeat_last_n below 0 penalises nothing", true, k_signed, 4, 1.0, 1.0, {0, 2}, -1, 2.0f, true,
         softmax_of({{0, 1.0}, {3, 0.75}, {1, 0.0}, {2, -1.0}})},
        {"penalty 1 changes nothing", true, k_signed, 4, 1.0, 1.0, {0, 1, 2}, 3, 1.0f, true,
         softmax_of({{0, 1.0}, {3, 0.75}, {1, 0.0}, {2, -1.0}})},
    };
    for (const sampler_case & c : cases) {
        check_sampler_case(c);
    }
}

TEST(gpt_sample_top_k_top_p, temperature_not_above_zero_takes_the_first_greatest_logit_without_a_draw) {
    const std::vector<float> logits = {1.0f, 3.0f, 3.0f, 2.0f};
    const sampler_case cases[] = {
        {"temp 0", false, logits, 4, 1.0, 0.0, {}, 0, 1.0f, false, {{1, 1.0}}},
        {"temp below 0", false, logits, 4, 1.0, -1.0, {}, 0, 1.0f, false, {{1, 1.0}}},
        {"temp NaN", false, logits, 4, 1.0, std::nan(""), {}, 0, 1.0f, false, {{1, 1.0}}},
        {"temp whose reciprocal overflows", false, logits, 4, 1.0, 1e-320, {}, 0, 1.0f, false, {{1, 1.0}}},
        {"one logit", false, {5.0f}, 1, 1.0, 0.0, {}, 0, 1.0f, false, {{0, 1.0}}},
        {"no logits", false, {}, 1, 1.0, 0.0, {}, 0, 1.0f, false, {{0, 1.0}}},
        {"no penalty on the greedy path", true, logits, 4, 1.0, 0.0, {1}, 1, 100.0f, false, {{1, 1.0}}},
    };
    for (const sampler_case & c : cases) {
        check_sampler_case(c);
    }
}

// Arguments outside the callers' limits are held to them instead of reading
// out of bounds or dividing by zero.
TEST(gpt_sample_top_k_top_p, clamps_arguments_outside_their_limits) {
    const sampler_case cases[] = {
        {"no logits gives 0 without a draw", false, {}, 40, 1.0, 1.0, {}, 0, 1.0f, false, {{0, 1.0}}},
        {"one logit still draws", false, {5.0f}, 40, 1.0, 1.0, {}, 0, 1.0f, true, {{0, 1.0}}},
        {"top_k 0 is held to 1", false, k_one_to_four, 0, 1.0, 1.0, {}, 0, 1.0f, true, {{3, 1.0}}},
        {"top_k below 0 is held to 1", false, k_one_to_four, -5, 1.0, 1.0, {}, 0, 1.0f, true, {{3, 1.0}}},
        {"top_k above n is held to n", false, k_one_to_four, 99, 1.0, 1.0, {}, 0, 1.0f, true,
         k_one_to_four_expected},
        {"an infinite logit takes all", false, {1.0f, k_inf, 2.0f}, 3, 1.0, 1.0, {}, 0, 1.0f, true,
         {{1, 1.0}, {2, 0.0}, {0, 0.0}}},
        {"a minus infinite logit is never drawn", false, {-k_inf, 0.0f, std::log(3.0f)}, 3, 1.0, 1.0, {}, 0, 1.0f,
         true, {{2, 0.75}, {1, 0.25}, {0, 0.0}}},
        {"a NaN logit is never drawn", false, {k_nan, 0.0f, std::log(3.0f)}, 3, 1.0, 1.0, {}, 0, 1.0f, true,
         {{2, 0.75}, {1, 0.25}, {0, 0.0}}},
        {"the greedy path passes over NaN", false, {k_nan, 1.0f, 3.0f, k_nan}, 4, 1.0, 0.0, {}, 0, 1.0f, false,
         {{2, 1.0}}},
        {"the greedy path over all NaN gives 0", false, {k_nan, k_nan}, 2, 1.0, 0.0, {}, 0, 1.0f, false, {{0, 1.0}}},
        {"repeat_last_n above the recent count takes them all", true, k_signed, 4, 1.0, 1.0, {2, 0}, 10, 2.0f, true,
         softmax_of({{3, 0.75}, {0, 0.5}, {1, 0.0}, {2, -2.0}})},
        {"no recent tokens (null) penalise nothing", true, k_signed, 4, 1.0, 1.0, {}, 64, 2.0f, true,
         softmax_of({{0, 1.0}, {3, 0.75}, {1, 0.0}, {2, -1.0}})},
        {"recent ids outside the vocabulary are passed over", true, k_signed, 4, 1.0, 1.0, {-1, 7, 0}, 3, 2.0f, true,
         softmax_of({{3, 0.75}, {0, 0.5}, {1, 0.0}, {2, -1.0}})},
        {"penalty 0 makes a positive repeat certain", true, {1.0f, 0.0f, -1.0f}, 3, 1.0, 1.0, {0, 1, 2}, 3, 0.0f,
         true, {{0, 1.0}}},
    };
    for (const sampler_case & c : cases) {
        check_sampler_case(c);
    }
}

// Which of several equal scores comes first is left open; each must be drawn.
TEST(gpt_sample_top_k_top_p, equal_greatest_scores_share_the_draw) {
    const struct {
        std::vector<float> logits;
        std::set<int32_t> ids;
    } cases[] = {
        {{1.0f, k_inf, 2.0f, k_inf}, {1, 3}},
        {{-k_inf, -k_inf, -k_inf}, {0, 1, 2}},
        {{k_nan, k_nan}, {0, 1}},
        {{0.5f, 0.5f, 0.5f}, {0, 1, 2}},
    };
    for (const auto & c : cases) {
        const gpt_vocab vocab = vocab_of_size(c.logits.size());
        std::set<int32_t> drawn;
        for (uint32_t seed = 1; seed <= k_seeds; ++seed) {
            std::mt19937 generator(seed);
            drawn.insert(gpt_sample_top_k_top_p(vocab, c.logits.data(), 40, 1.0, 1.0, generator));
            drawn.insert(gpt_sample_top_k_top_p_repeat(vocab, c.logits.data(), nullptr, 0, 40, 1.0, 1.0, 0, 1.0f,
                                                        generator));
        }
        EXPECT_EQ(drawn, c.ids) << testing::PrintToString(c.logits);
    }
}

// Four equal scores have probabilities of exactly 0.25, so the running total
// meets top_p 0.5 exactly at the second: the cut keeps two of them.
TEST(gpt_sample_top_k_top_p, a_running_total_equal_to_top_p_ends_the_head) {
    const std::vector<float> logits(4, 1.0f);
    const gpt_vocab vocab = vocab_of_size(logits.size());
    std::set<int32_t> plain;
    std::set<int32_t> repeat;
    for (uint32_t seed = 1; seed <= k_seeds; ++seed) {
        std::mt19937 generator(seed);
        plain.insert(gpt_sample_top_k_top_p(vocab, logits.data(), 4, 0.5, 1.0, generator));
        repeat.insert(
            gpt_sample_top_k_top_p_repeat(vocab, logits.data(), nullptr, 0, 4, 0.5, 1.0, 0, 1.0f, generator));
    }
    EXPECT_EQ(plain.size(), 2u);
    EXPECT_EQ(repeat.size(), 2u);
}

// Logits 1 and 0 at temperature 3: the first token's probability is
// 1 / (1 + exp(-s)) with s = 1/3 scaled in double precision by the plain
// sampler and rounded to single precision (a little above a third) by the
// repeat variant. A top_p between the two keeps both tokens in the plain
// sampler and cuts the repeat variant down to the first.
TEST(gpt_sample_top_k_top_p, the_plain_sampler_scales_in_double_and_the_repeat_variant_in_single) {
    const double temp = 3.0;
    const double double_scale = 1.0 / temp;
    const double single_scale = static_cast<float>(1.0 / temp);
    const double p0_double = 1.0 / (1.0 + std::exp(-double_scale));
    const double p0_single = 1.0 / (1.0 + std::exp(-single_scale));
    ASSERT_LT(p0_double, p0_single);
    const double top_p = (p0_double + p0_single) / 2;

    const std::vector<float> logits = {1.0f, 0.0f};
    const gpt_vocab vocab = vocab_of_size(logits.size());
    std::set<int32_t> plain;
    std::set<int32_t> repeat;
    for (uint32_t seed = 1; seed <= k_seeds; ++seed) {
        std::mt19937 generator(seed);
        plain.insert(gpt_sample_top_k_top_p(vocab, logits.data(), 2, top_p, temp, generator));
        repeat.insert(
            gpt_sample_top_k_top_p_repeat(vocab, logits.data(), nullptr, 0, 2, top_p, temp, 0, 1.0f, generator));
    }
    EXPECT_EQ(plain, (std::set<int32_t>{0, 1}));
    EXPECT_EQ(repeat, (std::set<int32_t>{0}));
}

TEST(gpt_sample_top_k_top_p, generators_in_one_state_give_one_token_and_end_in_one_state) {
    std::mt19937 source(2024);
    std::vector<float> logits(1000);
    for (float & logit : logits) {
        logit = static_cast<float>(source() % 2000) / 100.0f - 10.0f;
    }
    const std::vector<int32_t> recent = {5, 17, 999, 5};
    const gpt_vocab vocab = vocab_of_size(logits.size());

    std::mt19937 a(99);
    a.discard(7);
    std::mt19937 b = a;
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(gpt_sample_top_k_top_p(vocab, logits.data(), 40, 0.9, 0.8, a),
                  gpt_sample_top_k_top_p(vocab, logits.data(), 40, 0.9, 0.8, b));
        EXPECT_EQ(gpt_sample_top_k_top_p_repeat(vocab, logits.data(), recent.data(), recent.size(), 40, 0.9, 0.8, 3,
                                                1.3f, a),
                  gpt_sample_top_k_top_p_repeat(vocab, logits.data(), recent.data(), recent.size(), 40, 0.9, 0.8, 3,
                                                1.3f, b));
        EXPECT_TRUE(a == b);
    }
}

}  // namespace
