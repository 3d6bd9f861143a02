#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "[" + whole seconds since the Unix epoch + "] " + message + "\n".
std::string format_log_line(uint64_t epoch_seconds, std::string_view message);

// Appends one line to the log file. The file is opened anew for every line,
// so one deleted while the bridge runs comes back with the next line; every
// failure is swallowed, since the log is the only place one could be told.
void log_to_file(std::string_view message);
