#include "common_whisper.h"

#include <algorithm>
#include <cstdio>

std::string to_timestamp(int64_t t, bool comma) {
    int64_t ms = t * 10;
    const int64_t hours = ms / (1000 * 60 * 60);
    ms -= hours * (1000 * 60 * 60);
    const int64_t minutes = ms / (1000 * 60);
    ms -= minutes * (1000 * 60);
    const int64_t seconds = ms / 1000;
    ms -= seconds * 1000;

    char buf[32];
    std::snprintf(buf, sizeof(buf), "%02d:%02d:%02d%s%03d", static_cast<int>(hours), static_cast<int>(minutes),
                  static_cast<int>(seconds), comma ? "," : ".", static_cast<int>(ms));
    return buf;
}

int timestamp_to_sample(int64_t t, int n_samples, int sample_rate) {
    // Clamped while still 64-bit, so a time far past the end cannot wrap
    // around into some index inside the buffer.
    const int64_t sample = t * sample_rate / 100;
    return static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(n_samples - 1, sample)));
}
