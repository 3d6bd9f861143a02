#pragma once

#include <string>
#include <vector>

// Decodes audio into 32-bit float samples at 16,000 Hz, whatever the source's
// format, rate and channel count (WAV, FLAC, MP3 and Ogg Vorbis). The name
// "-" decodes all of standard input; any other name is tried as a file and
// then as encoded audio held in the name's own bytes.
//
// With `stereo` the samples are two interleaved channels and `channel_audio`
// becomes exactly two buffers, left then right; otherwise one channel and
// `channel_audio` is left alone. Errors are reported on standard error.
bool read_audio_data(const std::string & input_name, std::vector<float> & samples,
                     std::vector<std::vector<float>> & channel_audio, bool stereo);
