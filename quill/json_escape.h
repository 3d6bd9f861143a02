#pragma once

#include <string>

// Text fit to stand between the quotes of a JSON string: a backslash before
// every double quote and backslash, every byte below 0x20 as \u00xx, and
// every ill-formed UTF-8 sequence as U+FFFD, one for each maximal subpart.
// Other bytes, well-formed UTF-8 sequences included, pass unchanged.
std::string json_escape(const std::string & text);

// The same with quotes and backslashes left as they are: for text that
// stands on a line of the stream outside the JSON object, which only a raw
// control byte or a broken character could spoil.
std::string escape_control_bytes(const std::string & text);
