#include "audio_filters.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

void high_pass_filter(std::vector<float> & samples, float cutoff_hz, float sample_rate) {
    // A cutoff or rate of zero or less has no filter: the coefficient would
    // come out as NaN or above 1, and the samples would be lost to NaNs or
    // grow without bound.
    if (samples.size() < 2 || !(cutoff_hz > 0) || !(sample_rate > 0)) {
        return;
    }
    const double two_pi = 6.283185307179586;
    const float rc = static_cast<float>(1.0 / (static_cast<double>(cutoff_hz) * two_pi));
    const float dt = 1.0f / sample_rate;
    const float a = rc / (rc + dt);

    float y = samples[0];
    float previous_input = samples[0];
    for (size_t i = 1; i < samples.size(); ++i) {
        const float x = samples[i];
        y = a * ((y + x) - previous_input);
        previous_input = x;
        samples[i] = y;
    }
}

bool vad_simple(std::vector<float> & samples, int sample_rate, int last_window_ms, float vad_thold,
                float freq_thold, bool verbose) {
    // 64-bit, so a long window or a high rate cannot overflow; a window of
    // zero or fewer samples sums nothing below.
    const int64_t n = static_cast<int64_t>(samples.size());
    const int64_t n_last = static_cast<int64_t>(sample_rate) * last_window_ms / 1000;
    if (n_last >= n) {
        return false;
    }

    if (freq_thold > 0) {
        high_pass_filter(samples, freq_thold, static_cast<float>(sample_rate));
    }

    float energy_all = 0.0f;
    for (int64_t i = 0; i < n; ++i) {
        energy_all += std::fabs(samples[i]);
    }
    float energy_last = 0.0f;
    for (int64_t i = n - n_last; i < n; ++i) {
        energy_last += std::fabs(samples[i]);
    }
    // An empty window divides 0 by 0: NaN, which counts as quiet below.
    energy_all /= static_cast<float>(n);
    energy_last /= static_cast<float>(n_last);

    if (verbose) {
        fprintf(stderr, "%s: energy_all: %f, energy_last: %f, vad_thold: %f, freq_thold: %f\n", __func__, energy_all,
                energy_last, vad_thold, freq_thold);
    }
    return !(energy_last > vad_thold * energy_all);
}
