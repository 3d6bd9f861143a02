#include "io.h"

#include "socket.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
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

// The send buffer that a socket asking for `asked` bytes gets: Linux
// doubles the request, for its own bookkeeping.
int granted_send_buffer(int asked) {
    SocketPair sockets(WriterMode::nonblocking);
    EXPECT_EQ(0, setsockopt(sockets.writer, SOL_SOCKET, SO_SNDBUF, &asked, sizeof asked));
    int granted = 0;
    socklen_t length = sizeof granted;
    EXPECT_EQ(0, getsockopt(sockets.writer, SOL_SOCKET, SO_SNDBUF, &granted, &length));
    return granted;
}

// How the reading end takes bytes: `piece` at a time with `pause` after
// each while the writer still writes, until `total` have come. What the
// writer left in the socket is then taken at once, so that a case's time
// is the write's alone.
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

// Writes `data` with `window` against a reader at `pace`; a `send_buffer`
// other than 0 is asked for on the writing end first.
PacedWrite write_against(WriterMode mode, const std::string & data, StallWindow window, ReaderPace pace,
                         int send_buffer = 0) {
    SocketPair sockets(mode);
    if (send_buffer != 0) {
        EXPECT_EQ(0, setsockopt(sockets.writer, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer));
    }
    PacedWrite result;
    std::atomic<bool> writing{true};
    std::thread reader([&] {
        std::string buffer(pace.piece, '\0');
        while (result.read < pace.total) {
            ssize_t n = read(sockets.reader, buffer.data(), std::min(pace.piece, pace.total - result.read));
            if (n <= 0) {
                return;
            }
            result.read += static_cast<size_t>(n);
            if (writing.load()) {
                std::this_thread::sleep_for(pace.pause);
            }
        }
    });
    auto started = std::chrono::steady_clock::now();
    result.status = write_all(sockets.writer, data, window);
    result.took = std::chrono::steady_clock::now() - started;
    writing.store(false);
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

TEST(WriteAll, TakesTheRoomASlowReaderFreesLongBeforeTheStallWindowEnds) {
    // A little more than the socket holds, taken 2 KiB every 200 ms: the
    // socket never drains far enough to report room, yet a piece's worth
    // opens every few hundred milliseconds, and the write must take it then,
    // not when the window is about to run out. A write queued in units half
    // the buffer long would free nothing for three seconds.
    const int send_buffer = 32768;
    const auto window = 4s;
    for (WriterMode mode : k_writer_modes) {
        SCOPED_TRACE(static_cast<int>(mode));
        const std::string data(static_cast<size_t>(granted_send_buffer(send_buffer)) + 1024, 'p');
        PacedWrite write = write_against(mode, data, window, ReaderPace{2048, 200ms, data.size()}, send_buffer);
        EXPECT_EQ(IoState::ok, write.status.state) << write.status.error;
        EXPECT_EQ(data.size(), write.read);
        EXPECT_LT(write.took, window / 2)
            << std::chrono::duration_cast<std::chrono::milliseconds>(write.took).count() << " ms";
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

TEST(WriteAll, WithoutStallWindowWaitsForRoomAsABlockingDescriptorWould) {
    // Far more than the socket holds, to a reader that takes its time.
    const std::string data(1u << 20, 'b');
    PacedWrite write =
        write_against(WriterMode::nonblocking, data, std::nullopt, ReaderPace{262144, 300ms, data.size()});
    EXPECT_EQ(IoState::ok, write.status.state) << write.status.error;
    EXPECT_EQ(data.size(), write.read);
}

TEST(WriteAll, WithoutStallWindowFailsWhenTheReaderGoesWhileItWaits) {
    signal(SIGPIPE, SIG_IGN);
    SocketPair sockets(WriterMode::nonblocking);
    std::thread leaver([&] {
        std::this_thread::sleep_for(200ms);
        close(sockets.reader);
        sockets.reader = -1;
    });
    IoStatus status = write_all(sockets.writer, std::string(4u << 20, 'g'));
    leaver.join();
    EXPECT_EQ(IoState::failed, status.state);
    EXPECT_EQ(os_error_text(EPIPE), status.error);
}

TEST(OsErrorText, IsTheSystemsDescriptionAndTheNumber) {
    for (int error_number : {EPIPE, EAGAIN, ETIMEDOUT, 99999}) {
        EXPECT_EQ(std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")",
                  os_error_text(error_number));
    }
}
