#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Signed 16-bit little-endian PCM, headerless, whatever its rate.

std::vector<int16_t> read_pcm16_file(const std::string & path);

std::string pcm16_bytes(const std::vector<int16_t> & samples);
