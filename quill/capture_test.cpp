#include "capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::vector<uint8_t> le16(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) {
        bytes.push_back(static_cast<uint8_t>(v & 0xff));
        bytes.push_back(static_cast<uint8_t>((v >> 8) & 0xff));
    }
    return bytes;
}

std::vector<float> convert_all(std::vector<uint8_t> bytes, bool stereo) {
    std::vector<float> out;
    convert_pcm_bytes(bytes, stereo, out);
    return out;
}

TEST(Capture, MonoSamples) {
    EXPECT_EQ(convert_all(le16({-32768, -1, 0, 1, 16384, 32767}), false),
              (std::vector<float>{-1.0f, -1.0f / 32768, 0.0f, 1.0f / 32768, 0.5f, 0.999969482421875f}));
}

TEST(Capture, StereoMixDown) {
    const struct {
        int left, right;
        float expected;
    } cases[] = {
        {-32768, -32768, -1.0f},
        {1, 0, 0.0f},
        {-1, 0, 0.0f},  // truncated toward zero, not floored
        {-3, -2, -2.0f / 32768},
        {32767, 32767, 0.999969482421875f},
        {32767, -32768, 0.0f},
        {100, 301, 200.0f / 32768},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(convert_all(le16({c.left, c.right}), true), std::vector<float>{c.expected})
            << c.left << " + " << c.right;
    }
}

TEST(Capture, IncompleteSampleWaitsForTheNextRead) {
    const struct {
        size_t bytes;
        bool stereo;
        size_t samples, left;
    } cases[] = {
        {4097, false, 2048, 1},
        {4095, true, 1023, 3},
        {4094, true, 1023, 2},
        {1, false, 0, 1},
        {3, true, 0, 3},
        {8192, true, 2048, 0},
    };
    for (const auto & c : cases) {
        std::vector<uint8_t> bytes(c.bytes, 0x11);
        std::vector<float> out;
        convert_pcm_bytes(bytes, c.stereo, out);
        EXPECT_EQ(out.size(), c.samples) << c.bytes << (c.stereo ? " stereo" : " mono");
        EXPECT_EQ(bytes.size(), c.left) << c.bytes << (c.stereo ? " stereo" : " mono");
    }
}

TEST(Capture, SplitReadsGiveTheSameSamplesAsOneRead) {
    std::vector<uint8_t> stream;
    for (int v = -3000; v < 3000; v += 7) {
        const std::vector<uint8_t> one = le16({v * 11});
        stream.insert(stream.end(), one.begin(), one.end());
    }
    for (bool stereo : {false, true}) {
        const std::vector<float> whole = convert_all(stream, stereo);
        for (size_t read_size : {1u, 3u, 5u, 7u, 4095u}) {
            std::vector<uint8_t> pending;
            std::vector<float> out;
            for (size_t at = 0; at < stream.size(); at += read_size) {
                const size_t end = std::min(stream.size(), at + read_size);
                pending.insert(pending.end(), stream.begin() + at, stream.begin() + end);
                convert_pcm_bytes(pending, stereo, out);
            }
            EXPECT_EQ(out, whole) << "reads of " << read_size << (stereo ? " stereo" : " mono");
        }
    }
}

struct pipe_ends {
    int read_end = -1;
    int write_end = -1;
    pipe_ends() {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        read_end = fds[0];
        write_end = fds[1];
    }
    ~pipe_ends() {
        close(read_end);
        if (write_end >= 0) {
            close(write_end);
        }
    }
    void close_writer() {
        close(write_end);
        write_end = -1;
    }
};

// Reads until the step reports the end; the sizes of every read that brought bytes.
std::vector<size_t> read_until_end(int fd) {
    std::vector<size_t> sizes;
    for (int step = 0; step < 100; ++step) {
        std::vector<uint8_t> bytes;
        int error = -1;
        const bool more = read_some_nb(fd, bytes, error);
        EXPECT_EQ(error, 0) << "step " << step;
        if (!more) {
            EXPECT_TRUE(bytes.empty());
            return sizes;
        }
        sizes.push_back(bytes.size());
    }
    ADD_FAILURE() << "input never ended";
    return sizes;
}

TEST(Capture, DataBeforeAHangUpIsStillRead) {
    const struct {
        size_t written;
        std::vector<size_t> reads;
    } cases[] = {
        {0, {}},
        {100, {100}},
        {20000, {8192, 8192, 3616}},
    };
    for (const auto & c : cases) {
        pipe_ends p;
        const std::vector<uint8_t> data(c.written, 0x42);
        ASSERT_EQ(write(p.write_end, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        p.close_writer();
        EXPECT_EQ(read_until_end(p.read_end), c.reads) << c.written << " bytes";
    }
}

// The capture thread reports a failure but not an end of input, and tells
// them apart by the step's error.
TEST(Capture, FailedReadIsToldFromTheEndOfInput) {
    pipe_ends ended;
    ended.close_writer();
    const int directory = open(".", O_RDONLY);
    ASSERT_GE(directory, 0);
    int closed = dup(directory);
    close(closed);
    const struct {
        const char * what;
        int fd;
        int error;
    } cases[] = {{"end of input", ended.read_end, 0}, {"a directory", directory, EISDIR}, {"closed", closed, EBADF}};
    for (const auto & c : cases) {
        std::vector<uint8_t> bytes;
        int error = -1;
        EXPECT_FALSE(read_some_nb(c.fd, bytes, error)) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_TRUE(bytes.empty()) << c.what;
    }
    close(directory);
}

TEST(Capture, QuietPipeKeepsCaptureGoing) {
    pipe_ends p;
    std::vector<uint8_t> bytes{7};
    int error = -1;
    EXPECT_TRUE(read_some_nb(p.read_end, bytes, error));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(bytes, std::vector<uint8_t>{7}) << "the read step appends, keeping what was there";
}

} // namespace
