#include "framing.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

namespace {

// The read end stands in for descriptor 0: non-blocking, as the relay sets it.
struct Pipe {
    int read_fd = -1;
    int write_fd = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(0, pipe(fds));
        read_fd = fds[0];
        write_fd = fds[1];
        fcntl(read_fd, F_SETFL, fcntl(read_fd, F_GETFL) | O_NONBLOCK);
    }
    ~Pipe() {
        close_reader();
        close_writer();
    }
    void close_reader() {
        if (read_fd >= 0) {
            close(read_fd);
            read_fd = -1;
        }
    }
    void write_text(std::string_view text) const { ASSERT_EQ(IoState::ok, write_all(write_fd, text).state); }
    void close_writer() {
        if (write_fd >= 0) {
            close(write_fd);
            write_fd = -1;
        }
    }
};

} // namespace

TEST(LengthPrefix, IsFourBytesInTheMachinesOrder) {
    const uint32_t lengths[] = {0, 1, 63, 0x01020304, 0xFFFFFFFF};
    for (uint32_t length : lengths) {
        std::string prefix = encode_length_prefix(length);
        ASSERT_EQ(4u, prefix.size());
        EXPECT_EQ(length, decode_length_prefix(prefix));
    }
    uint32_t probe = 1;
    bool little_endian = *reinterpret_cast<const unsigned char *>(&probe) == 1;
    EXPECT_EQ(little_endian ? std::string("\x3F\0\0\0", 4) : std::string("\0\0\0\x3F", 4), encode_length_prefix(63));
}

TEST(Frame, IsPrefixThenText) {
    std::string frame;
    ASSERT_EQ(IoState::ok, encode_frame("h\xC3\xA9", frame).state);
    EXPECT_EQ(encode_length_prefix(3) + "h\xC3\xA9", frame);
    ASSERT_EQ(IoState::ok, encode_frame("", frame).state);
    EXPECT_EQ(encode_length_prefix(0), frame);
}

TEST(LengthPrefix, KeepsBytesThatArriveInPieces) {
    Pipe pipe;
    FrameInput input{pipe.read_fd, {}};
    std::string prefix = encode_length_prefix(0x00ABCDEF);
    uint32_t length = 0;
    EXPECT_EQ(IoState::would_block, read_length_prefix(input, length).state);
    for (size_t at = 0; at < 3; ++at) {
        pipe.write_text(prefix.substr(at, 1));
        EXPECT_EQ(IoState::would_block, read_length_prefix(input, length).state) << "after byte " << at;
    }
    pipe.write_text(prefix.substr(3));
    ASSERT_EQ(IoState::ok, read_length_prefix(input, length).state);
    EXPECT_EQ(0x00ABCDEFu, length);
    EXPECT_TRUE(input.taken.empty());
}

TEST(LengthPrefix, EndOfInputFailsAndDropsThePartialPrefix) {
    Pipe pipe;
    FrameInput input{pipe.read_fd, {}};
    pipe.write_text("\x05\x00");
    pipe.close_writer();
    uint32_t length = 0;
    IoStatus status = read_length_prefix(input, length);
    EXPECT_EQ(IoState::end_of_stream, status.state);
    EXPECT_EQ("failed to fill whole buffer", status.error);
    EXPECT_TRUE(input.taken.empty());
}

TEST(LengthPrefix, TestByteBecomesItsFirstByte) {
    Pipe pipe;
    FrameInput input{pipe.read_fd, {}};
    EXPECT_FALSE(take_test_byte(input));
    pipe.write_text(encode_length_prefix(2) + "ok");
    // With the writer gone a frame read out of step fails instead of waiting.
    pipe.close_writer();
    ASSERT_TRUE(take_test_byte(input));
    uint32_t length = 0;
    ASSERT_EQ(IoState::ok, read_length_prefix(input, length).state);
    EXPECT_EQ(2u, length);
    std::string body;
    ASSERT_EQ(IoState::ok, read_body(input, length, body).state);
    EXPECT_EQ("ok", body);
}

TEST(Body, WaitsForPiecesThatArriveLater) {
    Pipe pipe;
    FrameInput input{pipe.read_fd, {}};
    std::string expected;
    for (int i = 0; i < 300000; ++i) {
        expected.push_back(static_cast<char>('a' + i % 26));
    }
    std::thread writer([&] {
        for (size_t at = 0; at < expected.size(); at += 70000) {
            pipe.write_text(expected.substr(at, 70000));
            std::this_thread::sleep_for(20ms);
        }
    });
    std::string body;
    IoStatus status = read_body(input, static_cast<uint32_t>(expected.size()), body);
    // Should the read give up early, the writer must fail rather than wait forever.
    signal(SIGPIPE, SIG_IGN);
    pipe.close_reader();
    writer.join();
    ASSERT_EQ(IoState::ok, status.state) << status.error;
    EXPECT_EQ(expected, body);
}

TEST(Body, EndOfInputMidBodyFailsWithoutReservingTheAnnouncedSize) {
    Pipe pipe;
    FrameInput input{pipe.read_fd, {}};
    pipe.write_text("abc");
    pipe.close_writer();
    std::string body;
    IoStatus status = read_body(input, 0xFFFFFFF0u, body);
    EXPECT_EQ(IoState::end_of_stream, status.state);
    EXPECT_EQ("failed to fill whole buffer", status.error);
    EXPECT_EQ("abc", body);
    EXPECT_LT(body.capacity(), 1u << 20);
}

TEST(Body, ZeroLengthReadsNothing) {
    Pipe pipe;
    FrameInput input{pipe.read_fd, {}};
    pipe.write_text("next");
    std::string body = "stale";
    ASSERT_EQ(IoState::ok, read_body(input, 0, body).state);
    EXPECT_EQ("", body);
    uint32_t length = 0;
    EXPECT_EQ(IoState::ok, read_length_prefix(input, length).state);
    EXPECT_EQ(decode_length_prefix("next"), length);
}
