#include "error_text.h"

#include <cstring>

namespace {

// GNU's strerror_r returns the text, which may or may not be in the buffer;
// the POSIX one (macOS's) returns 0 or an error number and fills the buffer.
// One overload for each makes both libraries compile the same call; only
// one of them is ever used.
[[maybe_unused]] const char * text_of(const char * result, const char *) { return result; }

[[maybe_unused]] const char * text_of(int result, const char * buffer) {
    return result == 0 || buffer[0] != '\0' ? buffer : "Unknown error";
}

} // namespace

std::string error_text(int errnum) {
    char buffer[256];
    buffer[0] = '\0';
    return text_of(strerror_r(errnum, buffer, sizeof buffer), buffer);
}
