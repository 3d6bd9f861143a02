#include "signal_notice.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

std::atomic<bool> stop_requested{false};
std::atomic<bool> capture_started{false};

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler may only touch a lock-free flag");

namespace {

// snprintf is not async-signal-safe, so the process id is written by hand.
size_t append_decimal(char * out, long value) {
    char digits[24];
    size_t n = 0;
    unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t len = 0;
    if (value < 0) {
        out[len++] = '-';
    }
    while (n > 0) {
        out[len++] = digits[--n];
    }
    return len;
}

size_t append_text(char * out, const char * text) {
    const size_t len = std::strlen(text);
    std::memcpy(out, text, len);
    return len;
}

} // namespace

void handle_signal(int) {
    const int saved_errno = errno;
    // `stop_requested` goes up before `capture_started` is looked at, and
    // capture raises `capture_started` before it looks at `stop_requested`:
    // whichever of the two comes second sees what the other raised. So when
    // the handler finds capture not started and ends the program, capture
    // has read nothing and never will.
    stop_requested.store(true);
    const bool in_start_up = !capture_started.load();

    char notice[128];
    size_t len = 0;
    len += append_text(notice + len, "\xE2\x9C\x85 Signal received from process ");
    len += append_decimal(notice + len, static_cast<long>(getpid()));
    len += append_text(notice + len, ", exiting...\n\n\n");
    // Nothing useful can be done from a handler when stderr is gone.
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, notice, len);
    if (in_start_up) {
        _exit(0);
    }
    errno = saved_errno;
}
