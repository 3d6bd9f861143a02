#include "temp_name.h"

#include <sys/types.h>
// getentropy: in the C library of both Linux and macOS, declared here on both.
#include <sys/random.h>
#include <unistd.h>

namespace {

constexpr size_t k_usual_name_max = 255;

size_t last_component_start(const std::string & path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

bool is_utf8_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

size_t name_max_beside(const std::string & path) {
    const size_t start = last_component_start(path);
    const std::string directory = start == 0 ? "." : path.substr(0, start);
    const long limit = pathconf(directory.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<size_t>(limit) : k_usual_name_max;
}

std::string temp_path_beside(const std::string & path, const std::string & suffix, size_t name_max) {
    const size_t start = last_component_start(path);
    const size_t length = path.size() - start;
    if (length > name_max || length + suffix.size() <= name_max) {
        return path + suffix;
    }
    // Here length > keep, so the byte at the cut exists.
    size_t keep = name_max > suffix.size() ? name_max - suffix.size() : 0;
    while (keep > 0 && is_utf8_continuation(path[start + keep])) {
        --keep;
    }
    return path.substr(0, start + keep) + suffix;
}

std::string temp_suffix(const std::array<unsigned char, k_temp_random_bytes> & random) {
    static constexpr char k_hex_digits[] = "0123456789abcdef";
    std::string suffix = ".";
    for (const unsigned char byte : random) {
        suffix += k_hex_digits[byte >> 4];
        suffix += k_hex_digits[byte & 0x0F];
    }
    return suffix + ".tmp";
}

bool random_temp_suffix(std::string & suffix) {
    std::array<unsigned char, k_temp_random_bytes> random;
    if (getentropy(random.data(), random.size()) != 0) {
        return false;
    }
    suffix = temp_suffix(random);
    return true;
}
