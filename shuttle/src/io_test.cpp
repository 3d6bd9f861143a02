#include "io.h"

#include "socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

using namespace std::chrono_literals;

namespace {

// How the writing end waits: as the relay's connection does, blocking with a
// send time-out, or not at all, leaving every wait to the stall window.
enum class WriterMode { blocking_with_send_timeout, nonblocking };

const WriterMode k_writer_modes[] = {WriterMode::blocking_with_send_timeout, WriterMode::nonblocking};

struct SocketPair {
    int writer = -1;
    int reader = -1;
    explicit SocketPair(WriterMode mode) {
        int fds[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        writer = fds[0];
        reader = fds[1];
        IoStatus status = mode == WriterMode::nonblocking ? set_nonblocking(writer, true)
                                                          : set_send_timeout(writer, 20ms);
        EXPECT_EQ(IoState::ok, status.state) << status.error;
    }
    ~SocketPair() {
        close(writer);
        close(reader);
    }
};

// Reads `piece` bytes at a time with `pause` after each, until `total` bytes
// have come; the count read is left in `got`.
std::thread paced_reader(int fd, size_t piece, std::chrono::milliseconds pause, size_t total, size_t & got) {
    return std::thread([=, &got] {
        std::string buffer(piece, '\0');
        while (got < total) {
            ssize_t n = read(fd, buffer.data(), std::min(piece, total - got));
            if (n <= 0) {
                return;
            }
            got += static_cast<size_t>(n);
            std::this_thread::sleep_for(pause);
        }
    });
}

} // namespace

TEST(WriteAll, GoesOnWhileBytesMoveHoweverLongTheWholeTakes) {
    const std::string data(1u << 20, 'w');
    const auto window = 150ms;
    for (WriterMode mode : k_writer_modes) {
        SCOPED_TRACE(static_cast<int>(mode));
        SocketPair sockets(mode);
        size_t got = 0;
        auto started = std::chrono::steady_clock::now();
        std::thread reader = paced_reader(sockets.reader, 16384, 10ms, data.size(), got);
        IoStatus status = write_all(sockets.writer, data, window);
        auto took = std::chrono::steady_clock::now() - started;
        reader.join();
        EXPECT_EQ(IoState::ok, status.state) << status.error;
        EXPECT_EQ(data.size(), got);
        EXPECT_GT(took, 2 * window) << "the reader was not slow enough to tell a stall window from a bound on the whole";
    }
}

TEST(WriteAll, FailsOnceNoByteHasMovedForTheStallWindow) {
    const std::string data(4u << 20, 's');
    const auto window = 200ms;
    for (WriterMode mode : k_writer_modes) {
        SCOPED_TRACE(static_cast<int>(mode));
        SocketPair sockets(mode);
        size_t got = 0;
        // Takes some, then no more while the writer still has bytes to give.
        std::thread reader = paced_reader(sockets.reader, 65536, 0ms, 65536, got);
        auto started = std::chrono::steady_clock::now();
        IoStatus status = write_all(sockets.writer, data, window);
        auto took = std::chrono::steady_clock::now() - started;
        reader.join();
        EXPECT_EQ(IoState::failed, status.state);
        EXPECT_EQ(os_error_text(ETIMEDOUT), status.error);
        EXPECT_GE(took, window);
    }
}

TEST(WriteAll, WithoutStallWindowHandsBackAWriteThatWouldBlock) {
    SocketPair sockets(WriterMode::nonblocking);
    EXPECT_EQ(IoState::would_block, write_all(sockets.writer, std::string(4u << 20, 'b')).state);
}

TEST(OsErrorText, IsTheSystemsDescriptionAndTheNumber) {
    for (int error_number : {EPIPE, EAGAIN, ETIMEDOUT, 99999}) {
        EXPECT_EQ(std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")",
                  os_error_text(error_number));
    }
}
