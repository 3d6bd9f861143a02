#include "io.h"

#include "socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
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

// How the reading end takes bytes: `piece` at a time with `pause` after
// each, until `total` have come.
struct ReaderPace {
    size_t piece;
    std::chrono::milliseconds pause;
    size_t total;
};

struct PacedWrite {
    IoStatus status;
    std::chrono::steady_clock::duration took;
    size_t read = 0;
};

// Writes `data` with `window` against a reader at `pace`.
PacedWrite write_against(WriterMode mode, const std::string & data, std::chrono::milliseconds window,
                         ReaderPace pace) {
    SocketPair sockets(mode);
    PacedWrite result;
    std::thread reader([&] {
        std::string buffer(pace.piece, '\0');
        while (result.read < pace.total) {
            ssize_t n = read(sockets.reader, buffer.data(), std::min(pace.piece, pace.total - result.read));
            if (n <= 0) {
                return;
            }
            result.read += static_cast<size_t>(n);
            std::this_thread::sleep_for(pace.pause);
        }
    });
    auto started = std::chrono::steady_clock::now();
    result.status = write_all(sockets.writer, data, window);
    result.took = std::chrono::steady_clock::now() - started;
    // A write that gave up early would leave the reader waiting for bytes
    // that never come; the end of the stream lets it go.
    shutdown(sockets.writer, SHUT_WR);
    reader.join();
    return result;
}

} // namespace

TEST(WriteAll, GoesOnWhileBytesMoveHoweverLongTheWholeTakes) {
    // Of the 1.25 MiB, the reader must take over 1 MiB, 16 KiB at a time
    // with 20 ms after each, before the rest fits in the socket's buffer:
    // over a second, twice a window that a reader kept waiting on a busy
    // machine still meets.
    const std::string data(5u << 18, 'w');
    const auto window = 500ms;
    for (WriterMode mode : k_writer_modes) {
        SCOPED_TRACE(static_cast<int>(mode));
        PacedWrite write = write_against(mode, data, window, ReaderPace{16384, 20ms, data.size()});
        EXPECT_EQ(IoState::ok, write.status.state) << write.status.error;
        EXPECT_EQ(data.size(), write.read);
        EXPECT_GT(write.took, 2 * window)
            << "the reader was not slow enough to tell a stall window from a bound on the whole";
    }
}

TEST(WriteAll, TriesAgainWhileTheReaderTakesTooLittleForTheSocketToReportRoom) {
    // Linux reports room on a UNIX stream socket only once the reader has
    // drained its buffer to a quarter: at this pace that takes longer than
    // the window, though the reader frees room for more several times within it.
    const std::string data(384u << 10, 'r');
    const auto window = 400ms;
    for (WriterMode mode : k_writer_modes) {
        SCOPED_TRACE(static_cast<int>(mode));
        PacedWrite write = write_against(mode, data, window, ReaderPace{6144, 20ms, data.size()});
        EXPECT_EQ(IoState::ok, write.status.state) << write.status.error;
        EXPECT_EQ(data.size(), write.read);
    }
}

TEST(WriteAll, FailsOnceNoByteHasMovedForTheStallWindow) {
    const auto window = 400ms;
    for (WriterMode mode : k_writer_modes) {
        SCOPED_TRACE(static_cast<int>(mode));
        // Takes some, then no more while the writer still has bytes to give.
        PacedWrite write = write_against(mode, std::string(4u << 20, 's'), window, ReaderPace{65536, 0ms, 65536});
        EXPECT_EQ(IoState::failed, write.status.state);
        EXPECT_EQ(os_error_text(ETIMEDOUT), write.status.error);
        EXPECT_GE(write.took, window);
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
