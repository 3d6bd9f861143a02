#pragma once

#include <string>

// The text with its leading and trailing ASCII white space (space, tab, line
// feed, vertical tab, form feed, carriage return) removed; bytes from 0x80 up,
// such as the UTF-8 no-break space, are never white space.
std::string trim(const std::string & s);

// UTF-8 (RFC 3629) to and from one wide element per code point, with no
// byte-order-mark handling. Input that does not convert throws
// std::range_error ("wstring_convert: to_bytes error" for an element that is
// no Unicode scalar value, "wstring_convert: from_bytes error" for bytes that
// are not well-formed UTF-8) and yields no partial result.
std::string convert_to_utf8(const std::wstring & input);
std::wstring convert_to_wstring(const std::string & input);

// 1 - (byte-wise Levenshtein distance) / (length of the longer text), in
// single precision: 1 for equal texts, not-a-number for two empty ones.
float similarity(const std::string & s0, const std::string & s1);
