#include "speech_command.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "shell_quote.h"

bool speak_with_file(const std::string & command, const std::string & text, const std::string & speak_file,
                     int voice_id) {
    std::ofstream file(speak_file, std::ios::binary | std::ios::trunc);
    if (!file.is_open()) {
        fprintf(stderr, "%s: failed to open speak_file\n", __func__);
        return false;
    }
    file << text;
    file.close();

    const std::string command_line = command + " " + std::to_string(voice_id) + " " + shell_single_quoted(speak_file);
    if (std::system(command_line.c_str()) != 0) {
        fprintf(stderr, "%s: failed to speak\n", __func__);
        return false;
    }
    return true;
}
