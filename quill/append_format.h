#pragma once

#include <string>

// printf into the end of a string: the messages and the usage text keep the
// C formats they have always been written with.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void append_format(std::string & out, const char * format, ...);
