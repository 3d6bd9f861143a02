#include "model_header.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

namespace {

constexpr uint32_t k_model_magic = 0x67676d6c;

// After the magic: vocabulary, audio context, audio width, audio heads, audio
// layers, text context, text width, text heads, text layers, mel bands, type.
constexpr int k_header_fields = 11;
constexpr int k_text_width_field = 6;
constexpr int k_text_layers_field = 8;

// The file is little-endian whatever the machine.
uint32_t little_endian_u32(const unsigned char * bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

} // namespace

bool read_model_decoder(const std::string & path, text_decoder_shape & shape) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    FILE * file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    unsigned char header[4 * (1 + k_header_fields)];
    const bool complete = std::fread(header, 1, sizeof header, file) == sizeof header;
    std::fclose(file);
    if (!complete || little_endian_u32(header) != k_model_magic) {
        return false;
    }
    const auto field = [&](int index) { return static_cast<int32_t>(little_endian_u32(header + 4 * (1 + index))); };
    shape.layers = field(k_text_layers_field);
    shape.width = field(k_text_width_field);
    return true;
}
