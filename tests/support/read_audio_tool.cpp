// Decodes its one argument with read_audio_data, as one channel, and writes
// the samples to standard output as raw 32-bit floats; exits 1 when the
// reader fails. It lets the tests reach the reader's standard-input path
// through a real pipe.

#include <cstdio>
#include <vector>

#include "audio_file.h"

int main(int argc, char ** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s NAME\n", argv[0]);
        return 2;
    }
    std::vector<float> samples;
    std::vector<std::vector<float>> channel_audio;
    if (!read_audio_data(argv[1], samples, channel_audio, false)) {
        return 1;
    }
    fwrite(samples.data(), sizeof(float), samples.size(), stdout);
    return 0;
}
