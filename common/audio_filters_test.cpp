#include "audio_filters.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

// rc = 1 / (2π · 100) = 0.00159155, dt = 1 / 16000 = 0.0000625,
// a = rc / (rc + dt) = 0.962214.
constexpr float k_a_100_hz = 0.962214f;

void expect_samples_near(const std::vector<float> & got, const std::vector<float> & want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_NEAR(got[i], want[i], 1e-6) << "at " << i;
    }
}

TEST(high_pass_filter, passes_a_step_at_once_and_then_lets_it_decay) {
    const float a = k_a_100_hz;
    std::vector<float> step = {0, 1, 1, 1};
    high_pass_filter(step, 100, 16000);
    expect_samples_near(step, {0, a, a * a, a * a * a});
}

TEST(high_pass_filter, lets_a_constant_decay_from_an_unchanged_first_sample) {
    const float a = k_a_100_hz;
    const float c = 0.5f;
    std::vector<float> constant(5, c);
    high_pass_filter(constant, 100, 16000);
    EXPECT_EQ(constant[0], c);
    expect_samples_near(constant, {c, c * a, c * a * a, c * a * a * a, c * a * a * a * a});
}

TEST(high_pass_filter, adds_the_new_input_before_taking_the_old_one_away) {
    // 3e-8 vanishes when added to 1 but not when 1 is taken from it first,
    // so only the order (y + x[i]) - x[i-1] gives exactly 0 here.
    std::vector<float> samples = {1.0f, 3e-8f};
    high_pass_filter(samples, 100, 16000);
    EXPECT_EQ(samples[1], 0.0f);
}

TEST(high_pass_filter, leaves_samples_alone_where_there_is_no_filter) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        std::vector<float> samples;
        float cutoff_hz;
        float sample_rate;
    } cases[] = {
        {{}, 100, 16000},
        {{0.25f}, 100, 16000},
        {{0.25f, 0.5f, -1}, 0, 16000},
        {{0.25f, 0.5f, -1}, -100, 16000},
        {{0.25f, 0.5f, -1}, nan, 16000},
        {{0.25f, 0.5f, -1}, 100, 0},
        {{0.25f, 0.5f, -1}, 100, -16000},
        {{0.25f, 0.5f, -1}, 100, nan},
    };
    for (const auto & c : cases) {
        std::vector<float> samples = c.samples;
        high_pass_filter(samples, c.cutoff_hz, c.sample_rate);
        EXPECT_EQ(samples, c.samples) << c.cutoff_hz << " Hz at " << c.sample_rate;
    }
}

struct vad_run {
    bool quiet;
    std::string err;
};

vad_run vad_capturing(std::vector<float> & samples, int sample_rate, int last_window_ms, float vad_thold,
                      float freq_thold) {
    testing::internal::CaptureStderr();
    const bool quiet = vad_simple(samples, sample_rate, last_window_ms, vad_thold, freq_thold, true);
    return {quiet, testing::internal::GetCapturedStderr()};
}

// 1,000 samples at 0.5, then 200 at `tail`: a window of 200 samples at 16 kHz
// is 12.5 ms, which truncates to 12 ms and 192 samples.
std::vector<float> loud_then(float tail) {
    std::vector<float> samples(1000, 0.5f);
    samples.resize(1200, tail);
    return samples;
}

TEST(vad_simple, compares_the_mean_of_the_window_with_that_of_the_whole_buffer) {
    // Sums of halves and quarters are exact in single precision:
    // (1000 · 0.5 + 200 · 0.25) / 1200 and 192 · 0.25 / 192, and 0.25 is
    // below 0.6 of 0.458333.
    std::vector<float> quiet_end = loud_then(0.25f);
    const vad_run quiet = vad_capturing(quiet_end, 16000, 12, 0.6f, 0);
    EXPECT_TRUE(quiet.quiet);
    EXPECT_EQ(quiet.err,
              "vad_simple: energy_all: 0.458333, energy_last: 0.250000, vad_thold: 0.600000, freq_thold: 0.000000\n");

    std::vector<float> loud_end = loud_then(-0.9f);
    EXPECT_FALSE(vad_capturing(loud_end, 16000, 12, 0.6f, 0).quiet);
}

TEST(vad_simple, counts_a_window_exactly_at_the_threshold_as_quiet) {
    std::vector<float> constant(1000, 0.5f);
    EXPECT_TRUE(vad_capturing(constant, 16000, 5, 1.0f, 0).quiet);
    EXPECT_FALSE(vad_capturing(constant, 16000, 5, 0.99f, 0).quiet);
}

TEST(vad_simple, filters_the_buffer_in_place_only_for_a_positive_cutoff) {
    const std::vector<float> original = loud_then(0.01f);
    for (const float freq_thold : {0.0f, -100.0f}) {
        std::vector<float> samples = original;
        vad_capturing(samples, 16000, 12, 0.6f, freq_thold);
        EXPECT_EQ(samples, original) << freq_thold;
    }

    std::vector<float> filtered = original;
    high_pass_filter(filtered, 100, 16000);
    std::vector<float> samples = original;
    const vad_run run = vad_capturing(samples, 16000, 12, 0.6f, 100);
    EXPECT_EQ(samples, filtered);
    EXPECT_NE(run.err.find(", freq_thold: 100.000000\n"), std::string::npos) << run.err;
}

TEST(vad_simple, a_window_as_long_as_the_buffer_is_never_quiet_and_changes_nothing) {
    const std::vector<float> original(16, 0.0f);
    std::vector<float> samples = original;
    const vad_run run = vad_capturing(samples, 16000, 1, 0.6f, 100);  // 16 samples
    EXPECT_FALSE(run.quiet);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(samples, original);
}

// Whatever the arguments, nothing is read outside the buffer (the sanitizer
// builds watch this) and the answer is the one the means give.
TEST(vad_simple, stays_inside_the_buffer_for_any_arguments) {
    const struct {
        size_t n;
        int sample_rate;
        int last_window_ms;
        bool quiet;
    } cases[] = {
        {1000, 16000, 0, true},          // a window of no samples: 0 / 0 counts as quiet
        {1000, 999, 1, true},            // 0.999 samples truncate to none
        {1000, 16000, -100, true},       // a negative window sums nothing
        {1000, 0, 100, true},            // no rate, no window
        {1000, -16000, 100, true},
        {0, 16000, 100, false},          // an empty buffer is shorter than any window
        {0, 16000, 0, false},
        {0, 16000, -100, true},
        {1000, 16000, INT_MAX, false},   // rate × window far beyond 32 bits
        {1000, INT_MAX, INT_MAX, false},
        {1000, INT_MIN, INT_MAX, true},
    };
    for (const auto & c : cases) {
        std::vector<float> samples(c.n, 0.25f);
        const vad_run run = vad_capturing(samples, c.sample_rate, c.last_window_ms, 0.6f, 100);
        EXPECT_EQ(run.quiet, c.quiet) << c.n << " samples, " << c.sample_rate << " Hz, " << c.last_window_ms << " ms";
    }
}

} // namespace
