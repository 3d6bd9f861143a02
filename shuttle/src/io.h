#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// What a call on a descriptor came to. Errors travel as values so each caller
// decides on the spot whether one ends the bridge; `error` is the text the
// log shows after its opening words.
enum class IoState { ok, would_block, end_of_stream, failed };

struct IoStatus {
    IoState state = IoState::ok;
    std::string error;
};

extern const char * const k_fill_whole_buffer_error;
extern const char * const k_write_whole_buffer_error;
extern const char * const k_invalid_utf8_error;

// The system's description of `error_number` followed by " (os error N)".
std::string os_error_text(int error_number);

// IoStatus for the errno that a failed call left behind.
IoStatus status_from_errno();

// One read of at most `capacity` bytes, retried when interrupted; `got` is the
// count read (0 unless the state is ok).
IoStatus read_some(int fd, char * into, size_t capacity, size_t & got);

// Writes every byte, retrying interrupted calls; a write that accepts nothing
// fails with k_write_whole_buffer_error.
IoStatus write_all(int fd, std::string_view data);

// Appends everything up to the end of the stream to `into`.
IoStatus read_to_end(int fd, std::string & into);
