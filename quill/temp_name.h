#pragma once

#include <array>
#include <cstddef>
#include <string>

// Names for a file in the making beside its final name.

// Bytes of randomness in a name: 64 bits, so that another user of a shared
// folder who creates names ahead of the program never hits the one it takes.
constexpr size_t k_temp_random_bytes = 8;

// ".", the bytes in lower-case hex, ".tmp".
std::string temp_suffix(const std::array<unsigned char, k_temp_random_bytes> & random);

// temp_suffix of bytes from the system's random source; false, with errno
// set, where that source fails.
bool random_temp_suffix(std::string & suffix);

// The longest file name the directory of `path` takes, in bytes; 255, the
// usual limit, where the system does not say.
size_t name_max_beside(const std::string & path);

// `path` with `suffix` added to its last component, the component first cut
// short where the whole would pass `name_max` bytes. The cut falls between
// two characters, never inside one: APFS refuses a name that is not valid
// UTF-8. A component too long by itself is left whole, so that its name is
// refused as the final one would be.
std::string temp_path_beside(const std::string & path, const std::string & suffix, size_t name_max);
