#pragma once

#include <string>
#include <vector>

#include "exit_status.h"
#include "settings.h"

// How the command line ended: `finished` false means start-up goes on;
// otherwise main writes `message` (and the usage text when `show_usage`) on
// standard error and ends with `exit_status`, the exit_code of a quill_exit.
struct command_line_result {
    bool finished = false;
    int exit_status = 0;
    std::string message;
    bool show_usage = false;
};

command_line_result stop_with(quill_exit status, std::string message, bool show_usage);

// Fills `params` from args[1..]; args[0] is the program name.
command_line_result parse_command_line(const std::vector<std::string> & args, whisper_params & params);

// Lower-cases ASCII letters in place and returns `s`.
char * whisper_param_turn_lowercase(char * s);
