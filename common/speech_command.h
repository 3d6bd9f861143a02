#pragma once

#include <string>

// Writes `text` to `speak_file` (exactly its bytes) and then runs, through
// the shell, `command`, `voice_id` in decimal and the file's path quoted for
// the shell. The file is left in place. True when the command ran and ended
// with status 0; errors are reported on standard error.
bool speak_with_file(const std::string & command, const std::string & text, const std::string & speak_file,
                     int voice_id);
