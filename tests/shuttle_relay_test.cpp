// The bridge through its real binary, between a fake desktop application on
// the fixed sockets and the test playing the extension on its pipes.

#include "shuttle_peer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

using namespace std::chrono_literals;
using testing::Contains;

namespace {

const std::string k_ack = "{\"message\":\"Message received and processed\",\"status\":\"success\"}";

bool logged(const std::string & message) {
    auto messages = log_messages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

std::string log_dump() {
    std::string dump;
    for (const auto & message : log_messages()) {
        dump += "  " + message + "\n";
    }
    return "log:\n" + dump;
}

class Bridge : public testing::Test {
protected:
    void SetUp() override {
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
    }

    void launch() { extension = start_bridge(); }

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

    BridgePathsLock paths_lock;
    std::unique_ptr<FakeApp> app;
    ExtensionSide extension;
};

TEST_F(Bridge, StartsUpLoggingEachStep) {
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
    std::string body = "{\"data\":\"";
    while (body.size() < (1u << 20) - 2) {
        body.push_back(static_cast<char>('a' + body.size() % 26));
    }
    body += "\"}";
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
    ASSERT_TRUE(push_text("{\"slow\":\"push in pieces\"}", 5, 150ms));
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

TEST_F(Bridge, DeletedLogFileIsCreatedAgainWithModeRw) {
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
    EXPECT_EQ(0666u, info.st_mode & 0777u);
    finish();
}

TEST_F(Bridge, AppGoneAtStartUpEndsWithStatusOneAndRemovesBothSockets) {
    stop_fake_app(*app);
    app.reset();
    // A stale return socket file, as a crashed bridge leaves it.
    std::ofstream(k_return_socket).put('x');
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
    stop_fake_app(*app);
    app.reset();
    unlink(k_app_socket);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, k_app_socket);
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address));
    ASSERT_EQ(0, listen(listener, 4));
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
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 3500ms);
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
    const std::string fifo = "/tmp/lanternwick_shuttle_test.fifo";
    unlink(fifo.c_str());
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
    unlink(fifo.c_str());
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
    // Once `running` is cleared the listener may still log its own end.
    messages.erase(std::remove(messages.begin(), messages.end(), "Return message listener thread exiting"),
                   messages.end());
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

} // namespace
