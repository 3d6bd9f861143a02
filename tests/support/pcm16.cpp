#include "pcm16.h"

#include <fstream>
#include <iterator>

std::vector<int16_t> read_pcm16_file(const std::string & path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                          (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    }
    return samples;
}

std::string pcm16_bytes(const std::vector<int16_t> & samples) {
    std::string bytes;
    bytes.reserve(samples.size() * 2);
    for (const int16_t v : samples) {
        bytes += static_cast<char>(v & 0xff);
        bytes += static_cast<char>((v >> 8) & 0xff);
    }
    return bytes;
}
