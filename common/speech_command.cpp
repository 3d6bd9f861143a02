#include "speech_command.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

// Inside single quotes the shell takes every character literally except the
// single quote itself, which closes the quotes, is escaped, and reopens them.
std::string quoted_for_shell(const std::string & word) {
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

} // namespace

bool speak_with_file(const std::string & command, const std::string & text, const std::string & speak_file,
                     int voice_id) {
    std::ofstream file(speak_file, std::ios::binary | std::ios::trunc);
    if (!file.is_open()) {
        fprintf(stderr, "%s: failed to open speak_file\n", __func__);
        return false;
    }
    file << text;
    file.close();

    const std::string command_line = command + " " + std::to_string(voice_id) + " " + quoted_for_shell(speak_file);
    if (std::system(command_line.c_str()) != 0) {
        fprintf(stderr, "%s: failed to speak\n", __func__);
        return false;
    }
    return true;
}
