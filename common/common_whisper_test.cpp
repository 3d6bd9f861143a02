#include "common_whisper.h"

#include <gtest/gtest.h>

namespace {

TEST(to_timestamp, formats_hours_minutes_seconds_and_milliseconds) {
    struct {
        int64_t t;
        bool comma;
        const char * text;
    } const cases[] = {
        {123456, false, "00:20:34.560"},
        {123456, true, "00:20:34,560"},
        {0, false, "00:00:00.000"},
        {1, false, "00:00:00.010"},
        {359999, false, "00:59:59.990"},
        {360000, true, "01:00:00,000"},
        {9000000, false, "25:00:00.000"},  // hours do not wrap
        {-150, false, "00:00:-1.-500"},    // each field keeps its own sign
    };
    for (const auto & c : cases) {
        EXPECT_EQ(to_timestamp(c.t, c.comma), c.text) << c.t;
    }
}

TEST(timestamp_to_sample, converts_and_clamps_into_the_buffer) {
    struct {
        int64_t t;
        int n_samples;
        int sample_rate;
        int sample;
    } const cases[] = {
        {150, 24001, 16000, 24000},
        {150, 100000, 16000, 24000},
        {150, 24000, 16000, 23999},  // one past the end clamps to the last sample
        {1000000, 500, 16000, 499},
        {-5, 500, 16000, 0},
        {0, 0, 16000, 0},  // an empty buffer gives 0 for every time
        {150, 0, 16000, 0},
        {-150, 0, 16000, 0},
        {1, 1000, 16000, 160},
        {3, 1000, 8000, 240},
        {10000000000, 500, 16000, 499},  // past the 32-bit range: no wrap-around
        {-10000000000, 500, 16000, 0},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(timestamp_to_sample(c.t, c.n_samples, c.sample_rate), c.sample)
            << c.t << " " << c.n_samples << " " << c.sample_rate;
    }
}

} // namespace
