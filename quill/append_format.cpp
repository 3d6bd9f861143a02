#include "append_format.h"

#include <cstdarg>
#include <cstdio>

void append_format(std::string & out, const char * format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed > 0) {
        const size_t start = out.size();
        out.resize(start + static_cast<size_t>(needed) + 1);
        std::vsnprintf(&out[start], static_cast<size_t>(needed) + 1, format, args);
        out.resize(start + static_cast<size_t>(needed));
    }
    va_end(args);
}
