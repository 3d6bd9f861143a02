#pragma once

#include <string>

// Text fit to stand between the quotes of a JSON string: a backslash before
// every double quote and backslash, and every byte below 0x20 as \u00xx.
// Other bytes, UTF-8 sequences included, pass unchanged.
std::string json_escape(const std::string & text);

// The same with quotes and backslashes left as they are: for text that
// stands on a line of the stream outside the JSON object, which only a raw
// control byte could break.
std::string escape_control_bytes(const std::string & text);
