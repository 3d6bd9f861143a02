#include "response_file.h"

#include <fstream>

#include "append_format.h"

command_line_result expand_response_file(const std::vector<std::string> & args, std::vector<std::string> & expanded) {
    if (args.size() != 2 || args[1].empty() || args[1][0] != '@') {
        expanded = args;
        return {};
    }
    const std::string path = args[1].substr(1);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::string message;
        append_format(message, "error: response file '%s' not found\n", path.c_str());
        return stop_with(quill_exit::response_file_missing, message, false);
    }
    expanded.assign(1, args[0]);
    // Each line is one argument exactly as written: a carriage return before
    // the line feed stays, and an empty line is an empty argument. A NUL byte
    // cannot stand in an argument: everything after it would be cut off
    // unseen wherever the argument is used as a C string.
    std::string line;
    for (size_t number = 1; std::getline(file, line); ++number) {
        if (line.find('\0') != std::string::npos) {
            std::string message;
            append_format(message, "error: response file '%s' line %zu holds a NUL byte\n", path.c_str(), number);
            return stop_with(quill_exit::argument_error, message, false);
        }
        expanded.push_back(line);
    }
    return {};
}
