#include "full_write.h"

#include <fcntl.h>
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

// Far more than a pipe holds, and a reader that pauses before it starts and
// takes small pieces: the writer meets a full pipe over and over and is left
// with parts of its text written.
TEST(FullWrite, WaitsWhileANonBlockingPipeIsFull) {
    const pipe_ends ends = non_blocking_pipe();
    std::string text;
    for (int k = 0; text.size() < (1u << 20); ++k) {
        text += std::to_string(k) + ",";
    }
    std::string got;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        char piece[1000];
        ssize_t n;
        while ((n = read(ends.read_end, piece, sizeof piece)) > 0) {
            got.append(piece, static_cast<size_t>(n));
        }
    });
    EXPECT_EQ(full_write(ends.write_end, text.data(), text.size()), 0);
    close(ends.write_end);
    reader.join();
    close(ends.read_end);
    EXPECT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text);
}

} // namespace
