#pragma once

#include <string>

// What strerror says of `errnum`, safe to call from several threads at once:
// the capture and processing threads may both report a failure together.
std::string error_text(int errnum);
