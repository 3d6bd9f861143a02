#pragma once

#include <string>
#include <vector>

// True when `path` opens for reading; a file that exists but may not be read
// counts as missing, which is what callers about to read it want to know.
bool is_file_exist(const char * path);

// The xterm 256-colour foreground escape nearest to an RGB colour, choosing
// between the 6x6x6 cube and the gray ramp.
std::string set_xterm256_foreground(int r, int g, int b);

// Token confidence colours, least confident (red) first; built before main.
extern const std::vector<std::string> k_colors;
