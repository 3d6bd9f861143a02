#pragma once

#include <vector>

// First-order RC high-pass filter, in place: y[i] = a * (y[i-1] + x[i] - x[i-1])
// with the first sample kept as it is. Buffers of fewer than two samples, and
// a cutoff or a rate that is not positive, leave the samples unchanged.
void high_pass_filter(std::vector<float> & samples, float cutoff_hz, float sample_rate);

// True when the last `last_window_ms` of the buffer are quiet: their mean
// absolute amplitude is at most `vad_thold` times that of the whole buffer.
// A window as long as the buffer or longer is never quiet. With `freq_thold`
// above 0 the buffer is high-pass filtered in place at that cutoff first.
bool vad_simple(std::vector<float> & samples, int sample_rate, int last_window_ms, float vad_thold,
                float freq_thold, bool verbose);
