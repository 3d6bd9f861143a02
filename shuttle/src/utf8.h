#pragma once

#include <cstddef>
#include <string_view>

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no
// sequence cut short. Texts that fail are never relayed in either direction.
bool is_valid_utf8(std::string_view text);

// The longest prefix of `text` of at most `limit` bytes that does not end in
// the middle of a character.
std::string_view utf8_prefix(std::string_view text, size_t limit);
