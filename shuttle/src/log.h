#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "[" + whole seconds since the Unix epoch + "] " + message + "\n".
std::string format_log_line(uint64_t epoch_seconds, std::string_view message);

// A relayed text as the log shows it: at most its first 1,024 bytes (cut
// where a character starts), then " … (N bytes)" when there was more, and
// control bytes written as \n, \r or \xNN, so that a text can neither forge
// log lines nor grow the log by its own size.
std::string loggable_text(std::string_view text);

// Appends one line to the log file. The file is opened anew for every line,
// so one deleted while the bridge runs comes back with the next line; every
// failure is swallowed, since the log is the only place one could be told.
// A log path that is a link, or a file this user does not own alone, gets
// nothing: the messages are private and the path lies in a shared directory.
void log_to_file(std::string_view message);
