#include "io.h"

#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

const char * const k_fill_whole_buffer_error = "failed to fill whole buffer";
const char * const k_write_whole_buffer_error = "failed to write whole buffer";
const char * const k_invalid_utf8_error = "stream did not contain valid UTF-8";

namespace {

// All three threads format errors, and strerror may hand each the same
// buffer. strerror_r comes in two forms: the XSI one fills the buffer and
// returns a status, the GNU one returns the text, which need not be in the
// buffer. An overload for each result takes whichever the C library
// declares; the other one goes unused.
[[maybe_unused]] const char * error_description(int, const char * buffer) { return buffer; }
[[maybe_unused]] const char * error_description(const char * text, const char *) { return text; }

} // namespace

std::string os_error_text(int error_number) {
    char buffer[256] = "";
    const char * description = error_description(strerror_r(error_number, buffer, sizeof buffer), buffer);
    std::string text = description != nullptr && *description != '\0'
                           ? description
                           : "Unknown error " + std::to_string(error_number);
    return text + " (os error " + std::to_string(error_number) + ")";
}

IoStatus status_from_errno() {
    int error_number = errno;
    bool would_block = error_number == EAGAIN || error_number == EWOULDBLOCK;
    return IoStatus{would_block ? IoState::would_block : IoState::failed, os_error_text(error_number)};
}

namespace {

IoStatus timed_out() { return IoStatus{IoState::failed, os_error_text(ETIMEDOUT)}; }

// Checked on every pass, not only before a wait: a peer that keeps giving a
// little at a time never makes a call report would-block.
bool past(Deadline deadline) {
    return deadline != Deadline::min() && std::chrono::steady_clock::now() >= deadline;
}

} // namespace

IoStatus read_some(int fd, char * into, size_t capacity, size_t & got) {
    got = 0;
    for (;;) {
        ssize_t n = read(fd, into, capacity);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return IoStatus{};
        }
        if (n == 0) {
            return IoStatus{IoState::end_of_stream, k_fill_whole_buffer_error};
        }
        if (errno != EINTR) {
            return status_from_errno();
        }
    }
}

namespace {

// Waits with poll until `fd` is ready for `events` (ok) or `until` comes
// first (would_block).
IoStatus poll_until(int fd, short events, Deadline until) {
    for (;;) {
        // Compared before subtracting: min() less the time would overflow,
        // while max() less a steady clock that counts up from zero cannot.
        auto now = std::chrono::steady_clock::now();
        if (now >= until) {
            return IoStatus{IoState::would_block, ""};
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        pollfd wanted{fd, events, 0};
        int ready = poll(&wanted, 1, static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), 60000)));
        if (ready > 0) {
            // An error or hang-up shows up in the read or write that follows.
            return IoStatus{};
        }
        if (ready < 0 && errno != EINTR) {
            return status_from_errno();
        }
    }
}

// A UNIX stream socket need not report room, nor wake a writer blocked on
// it, for every byte the peer takes: Linux does so only once the send
// buffer has drained to a quarter, which a peer that reads slowly but
// steadily may take longer than the whole stall window to reach. So a
// stalled write is tried again at least this often, whatever poll says,
// and the first byte that goes re-arms the window.
constexpr auto k_stalled_write_retry = std::chrono::milliseconds(100);

// Linux frees a UNIX stream socket's send room only once the peer has taken
// the whole of a queued write, and a large write is queued in units of up
// to about 36 KiB: a peer that reads below one unit per stall window frees
// nothing in it, however steadily it reads. Pieces this small bound that
// unit, so that a peer taking one piece per window keeps the write going,
// and cost a fast peer little.
constexpr size_t k_stalled_write_piece = 4096;

// After a write that would block: fails once the window has passed, and
// otherwise returns when the next try is due. That is counted from when the
// write began, so a blocking socket, whose write has already waited out its
// send time-out, is tried again at once.
IoStatus wait_to_retry_write(int fd, Deadline write_began, Deadline stalled_at) {
    if (std::chrono::steady_clock::now() >= stalled_at) {
        return timed_out();
    }
    // A wait that runs to the window's end still returns ok, for one last
    // write: room that opened without poll reporting it is taken then and
    // re-arms the window, and only a write that finds none fails above.
    IoStatus status = poll_until(fd, POLLOUT, std::min(stalled_at, write_began + k_stalled_write_retry));
    return status.state == IoState::would_block ? IoStatus{} : status;
}

size_t next_write_size(std::string_view data, StallWindow stall_window) {
    return stall_window ? std::min(data.size(), k_stalled_write_piece) : data.size();
}

} // namespace

IoStatus wait_until_ready(int fd, short events, Deadline deadline) {
    IoStatus status = poll_until(fd, events, deadline);
    return status.state == IoState::would_block ? timed_out() : status;
}

IoStatus write_all(int fd, std::string_view data, StallWindow stall_window) {
    // Re-armed whenever a byte moves, so it bounds a stall, not the whole write.
    Deadline stalled_at = stall_window ? std::chrono::steady_clock::now() + *stall_window : Deadline::min();
    while (!data.empty()) {
        Deadline write_began = std::chrono::steady_clock::now();
        ssize_t n = write(fd, data.data(), next_write_size(data, stall_window));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            IoStatus status = status_from_errno();
            if (status.state == IoState::would_block) {
                // Only the write that follows tells whether room has come or
                // the reader has gone, so it is tried whatever poll reports.
                status = stall_window ? wait_to_retry_write(fd, write_began, stalled_at)
                                      : wait_until_ready(fd, POLLOUT, Deadline::max());
                if (status.state == IoState::ok) {
                    continue;
                }
            }
            return status;
        }
        if (n == 0) {
            return IoStatus{IoState::failed, k_write_whole_buffer_error};
        }
        data.remove_prefix(static_cast<size_t>(n));
        if (stall_window) {
            stalled_at = std::chrono::steady_clock::now() + *stall_window;
        }
    }
    return IoStatus{};
}

IoStatus read_to_end(int fd, std::string & into, size_t keep_at_most, size_t & total, Deadline deadline) {
    char chunk[65536];
    total = 0;
    for (;;) {
        if (past(deadline)) {
            return timed_out();
        }
        size_t got = 0;
        IoStatus status = read_some(fd, chunk, sizeof chunk, got);
        if (status.state == IoState::end_of_stream) {
            return IoStatus{};
        }
        if (status.state == IoState::would_block) {
            status = wait_until_ready(fd, POLLIN, deadline);
            if (status.state == IoState::ok) {
                continue;
            }
        }
        if (status.state != IoState::ok) {
            return status;
        }
        total += got;
        if (into.size() < keep_at_most) {
            into.append(chunk, std::min(got, keep_at_most - into.size()));
        }
    }
}
