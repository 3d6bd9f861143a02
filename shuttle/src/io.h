#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// What a call on a descriptor came to. Errors travel as values so each caller
// decides on the spot whether one ends the bridge; `error` is the text the
// log shows after its opening words.
enum class IoState { ok, would_block, end_of_stream, failed };

// Dropping one unread hides a failure, so each place that ignores one says why.
struct [[nodiscard]] IoStatus {
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

using Deadline = std::chrono::steady_clock::time_point;

// Waits with poll until `fd` is ready for `events`; past `deadline` it fails
// with the system's time-out error.
IoStatus wait_until_ready(int fd, short events, Deadline deadline);

// How long a write may go without moving a byte. None: as long as it takes.
using StallWindow = std::optional<std::chrono::milliseconds>;

// Writes every byte, retrying interrupted calls; a write that accepts nothing
// fails with k_write_whole_buffer_error, and any other failure ends the write
// where it stands.
//
// Without a stall window, each write is handed all that is left, and a write
// that would block waits with poll for room as long as it takes, as on a
// blocking descriptor: whoever shares the open file description may have made
// it non-blocking, and a frame cut short would put its reader out of step for
// good.
//
// With a stall window, the bytes go 4 KiB at a time, a write that would block
// is tried again as soon as the descriptor reports room and at least every
// 100 ms, and the whole write fails with the system's time-out error only
// once no byte has moved for that long. A UNIX stream socket on Linux frees
// room only a whole piece at a time, so a peer gets every byte as long as it
// keeps taking at least one piece per window (about 2 KB/s with a 2 s
// window); a slower one counts as stalled although it reads.
IoStatus write_all(int fd, std::string_view data, StallWindow stall_window = std::nullopt);

// Reads a non-blocking descriptor to the end of its stream within `deadline`
// in all, however steadily the bytes come; past it, it fails with the
// system's time-out error. The first `keep_at_most` bytes are appended to `into`, the
// rest only counted; `total` is every byte read.
IoStatus read_to_end(int fd, std::string & into, size_t keep_at_most, size_t & total, Deadline deadline);
