// The bridge through its real binary, between a fake desktop application on
// the fixed sockets and the test playing the extension on its pipes.

#include "shuttle_peer.h"
#include "temp_dir_test.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>

using namespace std::chrono_literals;
using testing::Contains;

// Names each way of starting the bridge in the test's name and its listing,
// where the enum's bytes would stand otherwise. Beside the enum, so that
// GoogleTest finds it.
const char * channel_name(ExtensionChannel channel) {
    switch (channel) {
    case ExtensionChannel::pipes: return "Pipes";
    case ExtensionChannel::nonblocking_output: return "NonblockingOutputPipe";
    case ExtensionChannel::one_socket: return "OneSocketAsInputAndOutput";
    }
    return "Unknown";
}

void PrintTo(ExtensionChannel channel, std::ostream * out) { *out << channel_name(channel); }

namespace {

const std::string k_ack = "{\"message\":\"Message received and processed\",\"status\":\"success\"}";

bool logged(const std::string & message) {
    auto messages = log_messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

bool logged_starting_with(const std::string & opening) {
    auto messages = log_messages();
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string & message) { return message.rfind(opening, 0) == 0; });
}

// What the bridge's log shows for a failed call that left `error_number`.
std::string os_error(int error_number) {
    return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}

// What the bridge's log shows for an operation that ran out of time.
std::string timed_out_text() { return os_error(ETIMEDOUT); }

std::string log_dump() {
    std::string dump;
    for (const auto & message : log_messages()) {
        dump += "  " + message + "\n";
    }
    return "log:\n" + dump;
}

// Each case also gets a temporary directory of its own, `dir`, for what
// must not lie at the fixed paths.
class Bridge : public temp_dir_test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(temp_dir_test::SetUp());
        ASSERT_TRUE(wait_until_no_bridge_listens(10s)) << "a bridge of an earlier test is still running";
        remove_bridge_files();
        app = start_fake_app();
    }
    void TearDown() override {
        if (app) {
            stop_fake_app(*app);
        }
        if (extension.child.pid > 0) {
            finish_process(extension.child, 10s);
        }
        remove_bridge_files();
        temp_dir_test::TearDown();
    }

    void launch() { extension = start_bridge(); }

    // For the tests that put something else at the application socket.
    void take_app_away() {
        stop_fake_app(*app);
        app.reset();
        unlink(k_app_socket);
    }

    void send(const std::string & text) { ASSERT_TRUE(write_to_child(extension.child, frame_of(text))); }

    void expect_ack() {
        std::string text;
        ASSERT_TRUE(read_frame(extension, text, 5s)) << log_dump();
        EXPECT_EQ(k_ack, text);
    }

    // Ends the bridge the orderly way a test can cause at once: the
    // application goes, then the extension. Nothing may reach stderr, which
    // is also where a sanitizer would report.
    process_result finish(std::chrono::milliseconds limit = 10s) {
        stop_fake_app(*app);
        process_result result = finish_process(extension.child, limit);
        EXPECT_TRUE(result.exited) << "signal " << result.term_signal << (result.timed_out ? " (timed out)" : "");
        EXPECT_EQ("", result.err);
        return result;
    }

    // A message of `size` bytes to an application that takes `piece` bytes with
    // `pause` after each arrives whole and is acknowledged. With
    // `catch_up_after`, the application reads at that pace only for so long
    // after the message is sent, and then takes the rest at once.
    void expect_whole_message_at_app_pace(size_t size, size_t piece, std::chrono::milliseconds pause,
                                          std::optional<std::chrono::milliseconds> catch_up_after = std::nullopt) {
        const std::string body = json_body(size);
        pace_app_reads(*app, piece, pause);
        launch();
        send(body);
        if (catch_up_after) {
            std::this_thread::sleep_for(*catch_up_after);
            pace_app_reads(*app, 0, 0ms);
        }
        std::string text;
        ASSERT_TRUE(read_frame(extension, text, 60s)) << log_dump();
        EXPECT_EQ(k_ack, text);
        // What the bridge left in the connection's buffer is still being read.
        ASSERT_TRUE(wait_for_app_messages(*app, 1, 30s));
        EXPECT_TRUE(app_messages(*app).at(0) == body)
            << app_messages(*app).at(0).size() << " of " << body.size() << " bytes arrived";
        EXPECT_FALSE(logged_starting_with("Main app is no longer running")) << log_dump();
        finish();
    }

    BridgePathsLock paths_lock;
    std::unique_ptr<FakeApp> app;
    ExtensionSide extension;
};

TEST_F(Bridge, StartsUpLoggingEachStep) {
    leave_stale_socket(k_return_socket);
    launch();
    auto messages = log_messages();
    const char * expected[] = {
        "Shuttle starting\u2026",
        "Set stdin to non-blocking mode",
        "Starting return message listener thread...",
        "Cleaned up existing return socket file",
        "Successfully bound return socket at: /tmp/lanternwick_return.sock",
        "Return message listener started and listening for connections",
        "Shuttle started, waiting for messages\u2026",
    };
    for (const char * message : expected) {
        EXPECT_THAT(messages, Contains(message));
    }
    EXPECT_EQ("Shuttle starting\u2026", messages.at(0));
    for (const auto & message : messages) {
        EXPECT_NE(0u, message.rfind("BAD STAMP", 0)) << message;
    }
    EXPECT_TRUE(file_exists(k_return_socket));
    finish();
}

TEST_F(Bridge, RelaysEachBodyUnchangedAndAcknowledgesIt) {
    const std::string bodies[] = {
        "{\"text\":\"hello\"}",
        "h\xC3\xA9llo \xE2\x98\x83 \xF0\x9F\x98\x80",
        "not json at all, with \"quotes\" and a\nnewline",
        std::string("nul\0byte", 8),
    };
    launch();
    for (const auto & body : bodies) {
        send(body);
        expect_ack();
    }
    ASSERT_TRUE(wait_for_app_messages(*app, std::size(bodies), 2s));
    EXPECT_EQ(std::vector<std::string>(std::begin(bodies), std::end(bodies)), app_messages(*app));
    EXPECT_TRUE(logged("Received message: {\"text\":\"hello\"}")) << log_dump();
    EXPECT_TRUE(logged("Successfully processed message, continuing to listen...")) << log_dump();
    process_result result = finish();
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("", extension.unread + result.out) << "nothing but one acknowledgement per message";
}

TEST_F(Bridge, AcknowledgementIsExactly67Bytes) {
    launch();
    send("x");
    std::string raw;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (raw.size() < 67 && std::chrono::steady_clock::now() < deadline) {
        read_child_stdout(extension.child, raw, 100ms);
    }
    read_child_stdout(extension.child, raw, 300ms);
    EXPECT_EQ(std::string("\x3F\0\0\0", 4) + k_ack, raw);
    EXPECT_EQ(67u, raw.size());
    finish();
}

TEST_F(Bridge, ZeroLengthFrameIsRelayedAsTheEmptyText) {
    launch();
    send("");
    expect_ack();
    EXPECT_TRUE(logged("Received message: ")) << log_dump();
    send("after");
    expect_ack();
    ASSERT_TRUE(wait_for_app_messages(*app, 1, 2s));
    EXPECT_EQ(std::vector<std::string>{"after"}, app_messages(*app));
    finish();
}

TEST_F(Bridge, InvalidUtf8IsDroppedWithoutAcknowledgement) {
    launch();
    for (const char * bad : {"\xC3(", "\xFF\xFE", "\xED\xA0\x80"}) {
        send(bad);
    }
    send("good");
    expect_ack();
    std::string extra;
    EXPECT_FALSE(read_frame(extension, extra, 300ms)) << "unexpected frame: " << extra;
    ASSERT_TRUE(wait_for_app_messages(*app, 1, 2s));
    EXPECT_EQ(std::vector<std::string>{"good"}, app_messages(*app));
    auto messages = log_messages();
    EXPECT_EQ(3, std::count(messages.begin(), messages.end(), "Failed to parse message as UTF-8")) << log_dump();
    finish();
}

TEST_F(Bridge, MessageOfOneMebibyteArrivingInPiecesIsRelayedWhole) {
    const std::string body = json_body(1u << 20);
    launch();
    std::string frame = frame_of(body);
    for (size_t at = 0; at < frame.size(); at += 16384) {
        ASSERT_TRUE(write_to_child(extension.child, frame.substr(at, 16384)));
        std::this_thread::sleep_for(5ms);
    }
    expect_ack();
    ASSERT_TRUE(wait_for_app_messages(*app, 1, 5s));
    EXPECT_TRUE(app_messages(*app).at(0) == body) << "the application got a different body";
    send("next");
    expect_ack();
    finish();
}

TEST_F(Bridge, LengthPrefixSplitAcrossWritesKeepsTheStreamInStep) {
    launch();
    std::string frame = frame_of("split") + frame_of("whole");
    const size_t cuts[] = {1, 3, 4, 6};
    size_t at = 0;
    for (size_t cut : cuts) {
        ASSERT_TRUE(write_to_child(extension.child, frame.substr(at, cut - at)));
        at = cut;
        std::this_thread::sleep_for(250ms);
    }
    ASSERT_TRUE(write_to_child(extension.child, frame.substr(at)));
    expect_ack();
    expect_ack();
    ASSERT_TRUE(wait_for_app_messages(*app, 2, 2s));
    EXPECT_EQ((std::vector<std::string>{"split", "whole"}), app_messages(*app));
    finish();
}

TEST_F(Bridge, PushedTextsReachTheExtensionInOrder) {
    const std::string texts[] = {"{\"push\":1}", "", "{\"push\":\"\xE2\x98\x83\"}", std::string(200000, 'p')};
    launch();
    for (const auto & text : texts) {
        ASSERT_TRUE(push_text(text));
    }
    for (const auto & expected : texts) {
        std::string text;
        ASSERT_TRUE(read_frame(extension, text, 5s)) << log_dump();
        EXPECT_TRUE(text == expected) << text.size() << " bytes instead of " << expected.size();
    }
    EXPECT_TRUE(logged("Received return message: ")) << log_dump();
    EXPECT_TRUE(logged("Successfully sent immediate return message to extension")) << log_dump();
    finish();
}

TEST_F(Bridge, PushedTextWrittenSlowlyIsWaitedFor) {
    launch();
    // Within the 1 s that one pushing connection gets in all.
    ASSERT_TRUE(push_text("{\"slow\":\"push in pieces\"}", 5, 100ms));
    std::string text;
    ASSERT_TRUE(read_frame(extension, text, 5s)) << log_dump();
    EXPECT_EQ("{\"slow\":\"push in pieces\"}", text);
    finish();
}

TEST_F(Bridge, PushedInvalidUtf8IsDropped) {
    launch();
    ASSERT_TRUE(push_text("bad \xC3("));
    ASSERT_TRUE(wait_for_log_message("Failed to read from return socket: stream did not contain valid UTF-8", 5s))
        << log_dump();
    ASSERT_TRUE(push_text("fine"));
    std::string text;
    ASSERT_TRUE(read_frame(extension, text, 5s));
    EXPECT_EQ("fine", text);
    finish();
}

TEST_F(Bridge, PushedTextsGoOutBeforeTheNextExtensionFrameIsRead) {
    launch();
    for (const char * text : {"p1", "p2", "p3"}) {
        ASSERT_TRUE(push_text(text));
    }
    ASSERT_TRUE(wait_for_log_message("Successfully sent message to main thread", 2s));
    send("from extension");
    std::vector<std::string> frames;
    for (int i = 0; i < 4; ++i) {
        std::string text;
        ASSERT_TRUE(read_frame(extension, text, 5s)) << log_dump();
        frames.push_back(text);
    }
    EXPECT_EQ((std::vector<std::string>{"p1", "p2", "p3", k_ack}), frames);
    finish();
}

// Whoever starts the bridge decides whether its standard output blocks: a
// launcher may hand over a non-blocking pipe, and with one socket as both
// descriptors the bridge's own switch of its input reaches its output. A
// frame must then wait for room while the extension is not reading, as on a
// blocking descriptor: one cut short would put every later frame out of step.
class BridgeWithNonblockingOutput : public Bridge, public testing::WithParamInterface<ExtensionChannel> {
protected:
    void launch_on_channel() { extension = start_bridge(GetParam()); }
};

TEST_P(BridgeWithNonblockingOutput, FramesWaitForTheExtensionToReadAndGoOutWhole) {
    // Each more than a pipe or a socket holds unread, and each of its own
    // size, so that a frame cut short or out of place shows.
    const std::vector<std::string> pushes = {json_body(300000), json_body(300001), json_body(300002)};
    launch_on_channel();
    for (const auto & text : pushes) {
        ASSERT_TRUE(push_text(text));
    }
    ASSERT_TRUE(wait_for_log_message("Successfully sent message to main thread", 5s, pushes.size())) << log_dump();
    send("from the extension");
    // The first push fills all that the descriptor holds; the rest and the
    // acknowledgement must wait while the extension reads nothing.
    std::this_thread::sleep_for(1s);
    std::vector<std::string> expected = pushes;
    expected.push_back(k_ack);
    for (const auto & wanted : expected) {
        std::string text;
        ASSERT_TRUE(read_frame(extension, text, 10s))
            << extension.unread.size() << " bytes that make no whole frame; " << log_dump();
        EXPECT_TRUE(text == wanted) << text.size() << " bytes instead of " << wanted.size();
    }
    send("after");
    expect_ack();
    ASSERT_TRUE(wait_for_app_messages(*app, 2, 2s));
    EXPECT_EQ((std::vector<std::string>{"from the extension", "after"}), app_messages(*app));
    EXPECT_FALSE(logged_starting_with("Failed to send immediate return message to extension")) << log_dump();
    finish();
}

TEST_P(BridgeWithNonblockingOutput, ExtensionThatGoesWhileAFrameWaitsFailsTheWrite) {
    launch_on_channel();
    ASSERT_TRUE(push_text(json_body(300000)));
    ASSERT_TRUE(wait_for_log_message("Successfully sent message to main thread", 5s)) << log_dump();
    // Time for the bridge to fill what the descriptor holds and wait for room.
    std::this_thread::sleep_for(500ms);
    close_child_stdin(extension.child);
    close(extension.child.stdout_fd);
    extension.child.stdout_fd = -1;
    EXPECT_TRUE(wait_for_log_message("Failed to send immediate return message to extension: " + os_error(EPIPE), 5s))
        << log_dump();
    finish();
}

INSTANTIATE_TEST_SUITE_P(BothWays, BridgeWithNonblockingOutput,
                         testing::Values(ExtensionChannel::nonblocking_output, ExtensionChannel::one_socket),
                         [](const testing::TestParamInfo<ExtensionChannel> & info) {
                             return std::string(channel_name(info.param));
                         });

TEST_F(Bridge, DeletedLogFileIsCreatedAgainForThisUserOnly) {
    mode_t saved_mask = umask(0);
    launch();
    umask(saved_mask);
    unlink(k_bridge_log);
    send("after deletion");
    expect_ack();
    ASSERT_TRUE(wait_for_log_message("Successfully processed message, continuing to listen...", 2s));
    EXPECT_EQ("Received message: after deletion", log_messages().at(0));
    struct stat info;
    ASSERT_EQ(0, stat(k_bridge_log, &info));
    EXPECT_EQ(0600u, info.st_mode & 0777u) << "every message is logged, so the log is private even under umask 000";
    finish();
}

TEST_F(Bridge, AppGoneAtStartUpEndsWithStatusOneAndRemovesBothSockets) {
    stop_fake_app(*app);
    app.reset();
    leave_stale_socket(k_return_socket);
    ASSERT_TRUE(file_exists(k_app_socket));
    process_result result = run_process({SHUTTLE_BINARY}, "", 10s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(1, result.exit_status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("", result.err);
    EXPECT_FALSE(file_exists(k_app_socket));
    EXPECT_FALSE(file_exists(k_return_socket));
    EXPECT_EQ((std::vector<std::string>{"Shuttle starting\u2026", "Main app is not running (socket not responding)"}),
              log_messages());
}

TEST_F(Bridge, AppThatAcceptsAndClosesAtOnceCountsAsGone) {
    take_app_away();
    int listener = listen_unix(k_app_socket, 4);
    ASSERT_GE(listener, 0);
    std::thread closer([&] { close(accept(listener, nullptr, nullptr)); });
    process_result result = run_process({SHUTTLE_BINARY}, "", 10s);
    closer.join();
    close(listener);
    EXPECT_EQ(1, result.exit_status);
    EXPECT_TRUE(logged("Main app is not running (socket not responding)")) << log_dump();
}

TEST_F(Bridge, AppGoneLaterEndsTheBridgeThroughTheWatchdog) {
    launch();
    auto stopped = std::chrono::steady_clock::now();
    stop_fake_app(*app);
    ASSERT_TRUE(wait_for_log_message("Main app is no longer running (socket not responding)", 4s)) << log_dump();
    process_result result = finish_process(extension.child, 5s);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 6s) << "twice the watchdog's period and 2 s to spare";
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("", result.err);
    EXPECT_FALSE(file_exists(k_return_socket));
    EXPECT_TRUE(file_exists(k_app_socket)) << "only the return socket file is the bridge's to delete";
}

TEST_F(Bridge, AppGoneAtTheNextRelayEndsWithoutAcknowledgement) {
    launch();
    // Right after the watchdog's first probe its next one is 2 s away, so the
    // relay is what finds the application gone.
    ASSERT_TRUE(wait_for_app_connections(*app, 2, 2s));
    stop_fake_app(*app);
    send("too late");
    process_result result = finish_process(extension.child, 5s);
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("", result.out + extension.unread);
    EXPECT_EQ("", result.err);
    EXPECT_TRUE(logged("Main app is no longer running (connection failed)")) << log_dump();
    EXPECT_FALSE(file_exists(k_return_socket));
}

TEST_F(Bridge, ReturnSocketThatCannotBeBoundEndsTheBridgeCleanly) {
    // A directory with something in it cannot be deleted or bound over.
    ASSERT_EQ(0, mkdir(k_return_socket, 0700));
    std::string blocker = std::string(k_return_socket) + "/blocker";
    std::ofstream(blocker).put('x');
    child_process child = start_process({SHUTTLE_BINARY});
    ASSERT_TRUE(wait_for_log_message("Shuttle exiting cleanly", 5s)) << log_dump();
    process_result result = finish_process(child, 5s);
    unlink(blocker.c_str());
    rmdir(k_return_socket);
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("", result.err);
    auto messages = log_messages();
    auto critical = std::find_if(messages.begin(), messages.end(), [](const std::string & m) {
        return m.rfind("CRITICAL: Failed to bind return socket at /tmp/lanternwick_return.sock: ", 0) == 0;
    });
    ASSERT_NE(messages.end(), critical) << log_dump();
    EXPECT_NE(std::string::npos, critical->find(" (os error ")) << *critical;
    EXPECT_THAT(messages, Contains("Return message channel disconnected"));
    EXPECT_THAT(messages, Contains("Failed to clean up existing return socket file: not a socket, left in place"));
    EXPECT_THAT(messages, testing::Not(Contains("Cleaned up existing return socket file")));
}

TEST_F(Bridge, BogusLengthThenEndOfInputCostsNoHugeBuffer) {
    launch();
    ASSERT_TRUE(write_to_child(extension.child, std::string("\xF0\xFF\xFF\xFF", 4) + "only a few bytes"));
    process_result result = finish_process(extension.child, 10s);
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("", result.err);
    EXPECT_TRUE(logged("Failed to read message body: failed to fill whole buffer")) << log_dump();
    EXPECT_TRUE(logged("Shuttle exiting cleanly")) << log_dump();
    EXPECT_FALSE(file_exists(k_return_socket));
    rusage usage{};
    ASSERT_EQ(0, getrusage(RUSAGE_CHILDREN, &usage));
#ifdef __APPLE__
    long peak_mib = usage.ru_maxrss >> 20;
#else
    long peak_mib = usage.ru_maxrss >> 10;
#endif
    EXPECT_LT(peak_mib, 512) << "peak resident memory of the bridge in MiB";
}

// A FIFO as standard input lets the extension's side end and come back, as
// the reconnection wait expects.
TEST_F(Bridge, ReconnectedExtensionsFirstByteStartsTheNextFrame) {
    const std::string fifo = dir + "/stdin.fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    extension.child = start_process({"/bin/sh", "-c", "exec \"$0\" origin < \"$1\"", SHUTTLE_BINARY, fifo});
    int writer = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ASSERT_TRUE(wait_for_log_message("Shuttle started, waiting for messages\u2026", 5s)) << log_dump();
    std::string first = frame_of("before");
    ASSERT_EQ(static_cast<ssize_t>(first.size()), write(writer, first.data(), first.size()));
    expect_ack();
    close(writer);
    ASSERT_TRUE(wait_for_log_message(
        "Extension disconnected, but keeping return socket alive for potential reconnection...", 5s))
        << log_dump();
    EXPECT_TRUE(logged("Error reading from stdin (extension disconnected): failed to fill whole buffer"));

    writer = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    std::string second = frame_of("after reconnection");
    ASSERT_EQ(static_cast<ssize_t>(second.size()), write(writer, second.data(), second.size()));
    expect_ack();
    EXPECT_TRUE(logged("Extension seems to have reconnected, resuming normal operation")) << log_dump();
    ASSERT_TRUE(wait_for_app_messages(*app, 2, 2s));
    EXPECT_EQ((std::vector<std::string>{"before", "after reconnection"}), app_messages(*app));
    close(writer);
    finish();
}

TEST_F(Bridge, ClosedStdinEndsTheBridgeAfterThirtySeconds) {
    launch();
    auto closed = std::chrono::steady_clock::now();
    close_child_stdin(extension.child);
    process_result result = finish_process(extension.child, 45s);
    auto waited = std::chrono::steady_clock::now() - closed;
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("", result.err);
    EXPECT_GE(waited, 30s);
    EXPECT_LT(waited, 33s);
    auto messages = log_messages();
    // Once `running` is cleared the listener may still log its own end, but
    // only after the bridge's last line.
    if (!messages.empty() && messages.back() == "Return message listener thread exiting") {
        messages.pop_back();
    }
    const std::vector<std::string> ending = {
        "Error reading from stdin (extension disconnected): failed to fill whole buffer",
        "Extension disconnected, but keeping return socket alive for potential reconnection...",
        "Extension didn't reconnect within 30 seconds, exiting",
        "Shuttle exiting cleanly",
    };
    auto tail = std::vector<std::string>(messages.end() - std::min(messages.size(), ending.size()), messages.end());
    EXPECT_EQ(ending, tail) << log_dump();
    EXPECT_FALSE(file_exists(k_return_socket));
}

// An application that has stopped accepting (a stopped process, a busy event
// loop) lets its backlog fill up; from then on a connect would wait for as
// long as it stays so. The bridge must take it for gone instead of hanging.
struct StalledApp {
    int listen_fd = -1;
    std::vector<int> queued;   // connections filling the backlog, never accepted
    ~StalledApp() {
        for (int fd : queued) {
            close(fd);
        }
        if (listen_fd >= 0) {
            close(listen_fd);
        }
    }
};

void stall_app(StalledApp & stalled) {
    stalled.listen_fd = listen_unix(k_app_socket, 1);
    ASSERT_GE(stalled.listen_fd, 0);
    while (stalled.queued.size() < 64) {
        int fd = connect_unix(k_app_socket, true);
        if (fd < 0) {
            return;
        }
        stalled.queued.push_back(fd);
    }
    FAIL() << "the backlog never filled";
}

TEST_F(Bridge, StalledAppCountsAsGoneInsteadOfHangingTheBridge) {
    launch();
    take_app_away();
    StalledApp stalled;
    stall_app(stalled);
    auto stalled_at = std::chrono::steady_clock::now();
    send("for an application that no longer accepts");
    process_result result = finish_process(extension.child, 15s);
    EXPECT_LT(std::chrono::steady_clock::now() - stalled_at, 5s);
    EXPECT_TRUE(result.exited) << (result.timed_out ? "timed out" : "killed");
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("", result.out + extension.unread) << "no acknowledgement for a message that went nowhere";
    // The relay or the watchdog, whichever connects first, finds it gone.
    EXPECT_TRUE(logged("Main app is no longer running (connection failed)") ||
                logged("Main app is no longer running (socket not responding)"))
        << log_dump();
    EXPECT_FALSE(file_exists(k_return_socket));

    auto started_at = std::chrono::steady_clock::now();
    result = run_process({SHUTTLE_BINARY}, "", 15s);
    EXPECT_LT(std::chrono::steady_clock::now() - started_at, 5s);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(1, result.exit_status);
    EXPECT_TRUE(logged("Main app is not running (socket not responding)")) << log_dump();
}

TEST_F(Bridge, AppThatPausesBeforeReadingStillGetsEveryByte) {
    const std::string body = json_body(1u << 20);
    delay_app_reads(*app, {150ms, 1000ms, 3000ms});
    launch();
    for (int i = 0; i < 2; ++i) {
        send(body);
        expect_ack();
    }
    ASSERT_TRUE(wait_for_app_messages(*app, 2, 5s));
    for (const auto & received : app_messages(*app)) {
        EXPECT_TRUE(received == body) << received.size() << " of " << body.size() << " bytes arrived";
    }

    // One that takes no byte of a message for longer than the watchdog's
    // period ends the bridge as an application that has gone does, without an
    // acknowledgement.
    send(body);
    process_result result = finish_process(extension.child, 10s);
    EXPECT_EQ(0, result.exit_status);
    EXPECT_EQ("", result.out + extension.unread);
    EXPECT_TRUE(logged("Main app is no longer running (write failed): " + timed_out_text())) << log_dump();
}

TEST_F(Bridge, AppThatReadsSlowlyButSteadilyGetsTheWholeMessage) {
    // 8 MiB at 16 KiB every 20 ms takes 10 s, five times the watchdog's
    // period, yet bytes move all the while.
    expect_whole_message_at_app_pace(8u << 20, 16384, 20ms);
}

TEST_F(Bridge, AppThatReadsTooSlowlyForTheSocketToReportRoomGetsTheWholeMessage) {
    // 600 KiB at 4 KiB every 100 ms takes 15 s. Linux reports room on the
    // connection only once the application has drained it to a quarter,
    // which at this pace takes longer than the watchdog's period, though
    // room for more opens all the while.
    expect_whole_message_at_app_pace(600u << 10, 4096, 100ms);
}

TEST_F(Bridge, AppThatTakesLessThanOneLargeWritePerWatchdogPeriodGetsTheWholeMessage) {
    // 224 KiB is a little more than the connection holds unread. Linux frees
    // its room only once the application has taken the whole of a queued
    // write, and one large write is queued in units of about 36 KiB: at
    // 1 KiB every 100 ms the application needs 3.6 s to get through one,
    // longer than the watchdog's period, though it reads all the while.
    // Five seconds at that pace span two periods; the rest is then taken
    // at once.
    expect_whole_message_at_app_pace(224u << 10, 1024, 100ms, 5s);
}

TEST_F(Bridge, EndingBridgeLeavesTheReturnSocketOfTheBridgeThatReplacedIt) {
    launch();
    ExtensionSide second = start_bridge();
    // The first ends at once, through a body that never comes.
    ASSERT_TRUE(write_to_child(extension.child, std::string("\x10\0\0\0", 4) + "short"));
    process_result first = finish_process(extension.child, 10s);
    EXPECT_EQ(0, first.exit_status);
    ASSERT_TRUE(file_exists(k_return_socket)) << "the first bridge deleted the second one's socket";
    ASSERT_TRUE(push_text("for the second bridge"));
    std::string text;
    EXPECT_TRUE(read_frame(second, text, 5s)) << log_dump();
    EXPECT_EQ("for the second bridge", text);

    stop_fake_app(*app);
    process_result last = finish_process(second.child, 10s);
    EXPECT_EQ(0, last.exit_status);
    EXPECT_FALSE(file_exists(k_return_socket)) << "a bridge still deletes its own socket";
}

TEST_F(Bridge, ReturnSocketTakesPushesFromThisUserOnly) {
    mode_t saved_mask = umask(0);
    launch();
    umask(saved_mask);
    struct stat info;
    ASSERT_EQ(0, stat(k_return_socket, &info));
    EXPECT_EQ(0600u, info.st_mode & 0777u);

    // Should a platform let another user connect all the same, the peer's
    // user id still keeps the push out.
    ASSERT_EQ(0, chmod(k_return_socket, 0666));
    OtherUserChild pusher;
    OtherUserStart started = start_as_other_user([] { return push_text("from another user"); }, pusher);
    release_other_user(pusher);
    if (started == OtherUserStart::cannot_switch) {
        finish();
        GTEST_SKIP() << "this machine does not let the test run a process as another user";
    }
    ASSERT_EQ(OtherUserStart::running, started);
    std::string dropped = "Dropped return connection from another user: peer runs as user " +
                          std::to_string(other_user_id()) + ", this bridge as user " + std::to_string(geteuid());
    ASSERT_TRUE(wait_for_log_message(dropped, 5s)) << log_dump();
    ASSERT_TRUE(push_text("from this user"));
    std::string text;
    ASSERT_TRUE(read_frame(extension, text, 5s)) << log_dump();
    EXPECT_EQ("from this user", text);
    finish();
}

TEST_F(Bridge, AppSocketOfAnotherUserGetsNoMessages) {
    take_app_away();
    OtherUserChild listener;
    OtherUserStart started = start_as_other_user(
        [] {
            // Open to all, so that only the user id can tell it apart.
            return listen_unix(k_app_socket, 4) >= 0 && chmod(k_app_socket, 0777) == 0;
        },
        listener);
    if (started == OtherUserStart::cannot_switch) {
        GTEST_SKIP() << "this machine does not let the test run a process as another user";
    }
    ASSERT_EQ(OtherUserStart::running, started);
    process_result result = run_process({SHUTTLE_BINARY}, frame_of("private"), 10s);
    release_other_user(listener);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(1, result.exit_status);
    EXPECT_EQ("", result.out);
    EXPECT_TRUE(logged("Refused the application socket: peer runs as user " + std::to_string(other_user_id()) +
                       ", this bridge as user " + std::to_string(geteuid())))
        << log_dump();
    EXPECT_TRUE(logged("Main app is not running (socket not responding)")) << log_dump();
}

// The log path lies in a shared directory: whatever stands there that is not
// this user's own file gets no line, and the bridge runs on without a log.
TEST_F(Bridge, LogPathThatIsNotThisUsersOwnFileGetsNothing) {
    const std::string target = dir + "/precious";
    struct Case {
        const char * what;
        bool needs_root;
        std::function<bool()> plant;
        const char * at_log_path;   // what the log path must still hold
    };
    const Case cases[] = {
        {"a symbolic link", false, [&] { return symlink(target.c_str(), k_bridge_log) == 0; }, "precious\n"},
        {"a second name of this user's file", false, [&] { return link(target.c_str(), k_bridge_log) == 0; },
         "precious\n"},
        {"another user's file", true,
         [&] {
             write_file(k_bridge_log, "theirs\n");
             return chown(k_bridge_log, other_user_id(), static_cast<gid_t>(-1)) == 0;
         },
         "theirs\n"},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && geteuid() != 0) {
            std::printf("skipped: %s needs root to make\n", c.what);
            continue;
        }
        write_file(target, "precious\n");
        unlink(k_bridge_log);
        ASSERT_TRUE(c.plant()) << std::strerror(errno);
        extension = ExtensionSide{start_process({SHUTTLE_BINARY}), ""};
        send("private");
        expect_ack();
        kill(extension.child.pid, SIGTERM);
        process_result result = finish_process(extension.child, 10s);
        EXPECT_EQ(0, result.exit_status);
        EXPECT_EQ("precious\n", read_file(target));
        EXPECT_EQ(c.at_log_path, read_file(k_bridge_log));
    }
}

TEST_F(Bridge, LoggedTextsAreCutShortAndCannotForgeLines) {
    const std::string head = "first\nforged line\r\x01";
    const std::string text = head + std::string(2000, 'x');
    const std::string shown = "first\\nforged line\\r\\x01" + std::string(1024 - head.size(), 'x') + " \u2026 (" +
                              std::to_string(text.size()) + " bytes)";
    launch();
    send(text);
    expect_ack();
    ASSERT_TRUE(push_text(text));
    std::string pushed;
    ASSERT_TRUE(read_frame(extension, pushed, 5s)) << log_dump();
    EXPECT_EQ(text, pushed) << "only the log shortens a text";
    ASSERT_TRUE(wait_for_log_message("Successfully sent immediate return message to extension", 5s));
    for (const char * opening :
         {"Received message: ", "Received return message: ", "Sending immediate return message to extension: "}) {
        EXPECT_TRUE(logged(opening + shown)) << opening << "\n" << log_dump();
    }
    EXPECT_FALSE(logged_starting_with("BAD STAMP")) << log_dump();
    finish();
}

TEST_F(Bridge, PushTooLargeForTheBrowserIsDroppedAndTheNextGoesThrough) {
    const std::string largest = json_body(1048576);
    launch();
    ASSERT_TRUE(push_text(json_body(1048577)));
    ASSERT_TRUE(push_text(largest));
    std::string text;
    ASSERT_TRUE(read_frame(extension, text, 5s)) << log_dump();
    EXPECT_TRUE(text == largest) << text.size() << " bytes instead of the largest push the browser takes";
    EXPECT_TRUE(logged("Dropped return message of 1048577 bytes: the browser takes at most 1048576")) << log_dump();
    finish();
}

TEST_F(Bridge, SlowPusherDoesNotHoldUpTheOthers) {
    struct Pace {
        size_t bytes;
        std::chrono::milliseconds pause;
    };
    // Ten seconds and three for the whole text, were it waited for.
    const Pace paces[] = {{40, 250ms}, {60, 50ms}};
    launch();
    size_t pushes = 0;
    for (const auto & pace : paces) {
        SCOPED_TRACE(pace.pause.count());
        std::thread trickler([&] { push_text(std::string(pace.bytes, 't'), 1, pace.pause); });
        ++pushes;
        ASSERT_TRUE(wait_for_log_message("Received connection on return socket", 5s, pushes)) << log_dump();
        auto pushed_at = std::chrono::steady_clock::now();
        ASSERT_TRUE(push_text("on time"));
        ++pushes;
        std::string text;
        bool arrived = read_frame(extension, text, 15s);
        auto took = std::chrono::steady_clock::now() - pushed_at;
        trickler.join();
        ASSERT_TRUE(arrived) << log_dump();
        EXPECT_EQ("on time", text) << "the trickled text is dropped, not relayed";
        EXPECT_LT(took, 4s) << "twice the 1 s one pushing connection gets and 2 s to spare";
        EXPECT_EQ(pushes / 2, count_log_messages("Failed to read from return socket: " + timed_out_text())) << log_dump();
    }
    finish();
}

TEST_F(Bridge, TerminatingSignalEndsTheBridgeCleanlyEvenMidMessage) {
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        launch();
        ASSERT_TRUE(write_to_child(extension.child, std::string("\x40\0\0\0", 4) + "half a body"));
        kill(extension.child.pid, signal_number);
        // Closing standard input now would end the body read; wait for the signal's own end first.
        EXPECT_TRUE(wait_for_log_message("Shuttle exiting on signal " + std::to_string(signal_number), 5s))
            << log_dump();
        process_result result = finish_process(extension.child, 10s);
        EXPECT_TRUE(result.exited) << "signal " << result.term_signal;
        EXPECT_EQ(0, result.exit_status);
        EXPECT_EQ("", result.err);
        EXPECT_FALSE(file_exists(k_return_socket));
    }
}

TEST_F(Bridge, AppGoneAtStartUpLeavesAFileThatIsNoSocketAlone) {
    take_app_away();
    write_file(k_app_socket, "not a socket\n");
    process_result result = run_process({SHUTTLE_BINARY}, "", 10s);
    EXPECT_EQ(1, result.exit_status);
    EXPECT_EQ("not a socket\n", read_file(k_app_socket));
    unlink(k_app_socket);
}

} // namespace
