#pragma once

#include <cstddef>

// Writes all `size` bytes to `fd`, however the descriptor takes them: in
// pieces, interrupted by a signal, or refused for now because the descriptor
// is non-blocking and full (it waits until it is writable). The descriptor's
// flags are left alone: its open file is shared with whoever handed it over.
// Returns 0, or the errno of the write that failed.
int full_write(int fd, const char * data, size_t size);
