#pragma once

#include <string_view>

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no
// sequence cut short. Texts that fail are never relayed in either direction.
bool is_valid_utf8(std::string_view text);
