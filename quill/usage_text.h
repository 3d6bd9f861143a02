#pragma once

#include <string>

#include "settings.h"

// The usage text with the current values of `params`, one line per listed
// row of the option table.
std::string format_usage(const std::string & program_name, const whisper_params & params);

// Writes the usage text on standard error; only argv[0] is read.
void whisper_print_usage(int argc, char ** argv, const whisper_params & params);
