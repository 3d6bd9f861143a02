#pragma once

#include <cstdint>
#include <string>

// "HH:MM:SS.mmm" (or with "," before the milliseconds) for a time in the
// library's 10 ms units; hours do not wrap at 24.
std::string to_timestamp(int64_t t, bool comma);

// The sample index of a time in 10 ms units, kept inside [0, n_samples - 1]
// (0 for an empty buffer).
int timestamp_to_sample(int64_t t, int n_samples, int sample_rate);
