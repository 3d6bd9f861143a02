#include "io.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

const char * const k_fill_whole_buffer_error = "failed to fill whole buffer";
const char * const k_write_whole_buffer_error = "failed to write whole buffer";
const char * const k_invalid_utf8_error = "stream did not contain valid UTF-8";

std::string os_error_text(int error_number) {
    return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}

IoStatus status_from_errno() {
    int error_number = errno;
    bool would_block = error_number == EAGAIN || error_number == EWOULDBLOCK;
    return IoStatus{would_block ? IoState::would_block : IoState::failed, os_error_text(error_number)};
}

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

IoStatus write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return status_from_errno();
        }
        if (n == 0) {
            return IoStatus{IoState::failed, k_write_whole_buffer_error};
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return IoStatus{};
}

IoStatus read_to_end(int fd, std::string & into) {
    char chunk[65536];
    for (;;) {
        size_t got = 0;
        IoStatus status = read_some(fd, chunk, sizeof chunk, got);
        if (status.state == IoState::end_of_stream) {
            return IoStatus{};
        }
        if (status.state != IoState::ok) {
            return status;
        }
        into.append(chunk, got);
    }
}
