#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio_handoff.h"
#include "signal_notice.h"  // stop_requested

constexpr size_t k_read_size = 8192;

// One 16-bit sample as a float in [-1, 1).
float pcm16_to_float(int16_t value);

// Both channels of a frame as one sample: the sum cannot overflow in 32 bits
// and the halving truncates toward zero.
int16_t mix_down(int16_t left, int16_t right);

// Converts the whole samples (frames with `stereo`) at the front of `bytes`,
// appends them to `out` and removes their bytes, so that a sample split by a
// read keeps its first bytes for the next one.
void convert_pcm_bytes(std::vector<uint8_t> & bytes, bool stereo, std::vector<float> & out);

// One wait of at most 50 ms on `fd` and at most one read of up to k_read_size
// bytes, appended to `bytes`. False once input has ended or failed. `error`
// tells the two apart, since only a failure is reported: it is the reason of
// the failure, and 0 whenever the step did not fail.
bool read_some_nb(int fd, std::vector<uint8_t> & bytes, int & error);
bool read_some_from_stdin_nb(std::vector<uint8_t> & bytes, int & error);

// One read step on standard input; `leftover` holds the bytes of a sample
// that the previous read split.
bool read_mono_pcm_from_stdin(std::vector<uint8_t> & leftover, std::vector<float> & out, int & error);
bool read_stereo_pcm_from_stdin(std::vector<uint8_t> & leftover, std::vector<float> & out, int & error);
bool read_audio_chunk(bool stereo, std::vector<uint8_t> & leftover, std::vector<float> & out, int & error);

// Body of the capture thread: hands every sample read to `handoff` until
// input ends, fails or is stopped, then raises its audio_input_done.
void audio_input_thread(audio_handoff & handoff, bool stereo);

int make_stdin_nonblocking();
