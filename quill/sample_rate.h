#pragma once

#include <cstddef>

// Samples per second of all audio in the transcriber: the desktop application
// sends 16 kHz PCM and the library takes nothing else, so nothing resamples.
constexpr size_t k_sample_rate = 16000;
