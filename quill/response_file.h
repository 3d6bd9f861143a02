#pragma once

#include <string>
#include <vector>

#include "command_line.h"

// The arguments that the parser sees: the program's own, or, when the only
// argument is "@file", the program name followed by one argument per line.
command_line_result expand_response_file(const std::vector<std::string> & args,
                                         std::vector<std::string> & expanded);
