#include "full_write.h"

#include <fcntl.h>
#include <time.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

struct pipe_ends {
    int read_end = -1;
    int write_end = -1;
};

pipe_ends non_blocking_pipe() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK), 0);
    return {fds[0], fds[1]};
}

// CPU time of the calling thread: a writer that spins on a full pipe
// instead of waiting for room burns the whole of the reader's pause.
std::chrono::nanoseconds thread_cpu_time() {
    timespec now{};
    EXPECT_EQ(clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now), 0);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Far more than a pipe holds, and a reader that pauses before it starts and
// takes small pieces: the writer meets a full pipe over and over and is left
// with parts of its text written. It must wait for room, not spin: its CPU
// time over the call stays well under the pause it sat through.
TEST(FullWrite, WaitsWhileANonBlockingPipeIsFull) {
    constexpr auto k_reader_pause = std::chrono::milliseconds(500);
    const pipe_ends ends = non_blocking_pipe();
    std::string text;
    for (int k = 0; text.size() < (1u << 20); ++k) {
        text += std::to_string(k) + ",";
    }
    std::string got;
    std::thread reader([&] {
        std::this_thread::sleep_for(k_reader_pause);
        char piece[1000];
        ssize_t n;
        while ((n = read(ends.read_end, piece, sizeof piece)) > 0) {
            got.append(piece, static_cast<size_t>(n));
        }
    });
    const std::chrono::nanoseconds cpu_before = thread_cpu_time();
    EXPECT_EQ(full_write(ends.write_end, text.data(), text.size()), 0);
    const std::chrono::nanoseconds cpu_spent = thread_cpu_time() - cpu_before;
    close(ends.write_end);
    reader.join();
    close(ends.read_end);
    EXPECT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text);
    EXPECT_LT(cpu_spent, k_reader_pause / 2)
        << std::chrono::duration_cast<std::chrono::milliseconds>(cpu_spent).count() << " ms of CPU";
}

} // namespace
