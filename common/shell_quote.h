#pragma once

#include <string>

// `word` as one literal word of a shell command line: single-quoted, with
// each single quote inside closed, escaped and reopened ('\''), since
// nothing else is special between single quotes.
std::string shell_single_quoted(const std::string & word);

// `text` fit to stand between double quotes of a shell command line: a
// backslash before each of the characters still live there (" \ $ `), so
// nothing in it expands or runs.
std::string shell_double_quoted(const std::string & text);

// `word` as one word of a shell command line: as it is when it holds only
// characters no shell treats specially, else single-quoted.
std::string shell_word(const std::string & word);
