#include "speech.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

bool run_quietly(const std::string & command) { return std::system((command + " > /dev/null 2>&1").c_str()) == 0; }

} // namespace

bool make_spoken_raw(const std::string & text, const std::string & raw_path) {
    if (access(raw_path.c_str(), R_OK) == 0) {
        return true;
    }
    // Tests may run side by side: each speaks into files of its own and
    // renames the result into place, so nobody reads a half-written file.
    const std::string tmp = raw_path + "." + std::to_string(getpid());
    const bool made = run_quietly("espeak-ng -w '" + tmp + ".wav' '" + text + "'") &&
                      run_quietly("sox '" + tmp + ".wav' -r 16000 -c 1 -b 16 -e signed-integer -t raw '" + tmp +
                                  ".raw'") &&
                      std::rename((tmp + ".raw").c_str(), raw_path.c_str()) == 0;
    std::remove((tmp + ".wav").c_str());
    std::remove((tmp + ".raw").c_str());
    return made;
}

std::vector<int16_t> silence(int ms) { return std::vector<int16_t>(static_cast<size_t>(ms) * k_sample_rate / 1000, 0); }

std::vector<int16_t> tone(int ms) {
    std::vector<int16_t> out(static_cast<size_t>(ms) * k_sample_rate / 1000);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<int16_t>(9000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / k_sample_rate));
    }
    return out;
}
