#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pcm16.h"
#include "sample_rate.h"

// Audio as the desktop application writes it (signed 16-bit little-endian
// PCM at k_sample_rate, one channel), for the tests and the benchmarks.

// Speaks `text` with espeak-ng and converts it with sox into `raw_path`,
// unless that file is already there: made once per build tree. False when a
// tool fails.
bool make_spoken_raw(const std::string & text, const std::string & raw_path);

// Zeros for `ms` milliseconds.
std::vector<int16_t> silence(int ms);

// A 440 Hz sine for `ms` milliseconds, loud throughout: never a quiet
// window, so never a cut.
std::vector<int16_t> tone(int ms);
