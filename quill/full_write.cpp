#include "full_write.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Only write tells whether the descriptor takes bytes again or has failed,
// so whatever poll reports, the caller writes next.
void wait_until_writable(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
    }
}

} // namespace

int full_write(int fd, const char * data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        // A write that takes nothing yet reports no error would be repeated forever.
        const int error = n < 0 ? errno : EIO;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            wait_until_writable(fd);
        } else if (error != EINTR) {
            return error;
        }
    }
    return 0;
}
