#pragma once

#include <string>

// `word` as one literal word of a shell command line: single-quoted, with
// each single quote inside closed, escaped and reopened ('\''), since
// nothing else is special between single quotes.
std::string shell_single_quoted(const std::string & word);
