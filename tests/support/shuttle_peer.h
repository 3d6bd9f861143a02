#pragma once

// The bridge's two peers as the tests and the benchmark play them: a fake
// desktop application on the fixed sockets, and the extension's side of the
// native-messaging pipes.

#include "process.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

constexpr const char * k_app_socket = "/tmp/lanternwick.sock";
constexpr const char * k_return_socket = "/tmp/lanternwick_return.sock";
constexpr const char * k_bridge_log = "/tmp/shuttle.log";

// A listener on the UNIX stream socket at `path`, closed on exec so that
// the bridges a test starts do not keep it open; -1 (errno set) when it
// cannot be made. Plain system calls only, so that a child process running
// as another user may call it too.
int listen_unix(const char * path, int backlog);

// A connection to the UNIX stream socket at `path`, closed on exec; -1
// (errno set) when the connect fails. A non-blocking one fails at once
// where a blocking connect would wait (a full backlog).
int connect_unix(const char * path, bool nonblocking = false);

// Listens on the application socket and reads every connection to its end,
// as the desktop application does; probes read as empty connections.
struct FakeApp {
    int listen_fd = -1;
    int wake_fds[2] = {-1, -1};
    std::thread acceptor;
    std::mutex mutex;
    std::condition_variable changed;
    size_t connections = 0;
    std::vector<std::string> messages;   // contents of the non-empty connections, in order
    // Pauses before reading the next non-empty connections, one each, as a
    // busy application takes its time; probes are never held up.
    std::deque<std::chrono::milliseconds> read_delays;
    // Reads `read_piece` bytes at a time with `read_pause` after each piece,
    // as an application that cannot keep up (a change holds from the next
    // piece on); a piece of 0 reads all that has come.
    size_t read_piece = 0;
    std::chrono::milliseconds read_pause{0};
};

std::unique_ptr<FakeApp> start_fake_app();
void delay_app_reads(FakeApp & app, const std::vector<std::chrono::milliseconds> & delays);
void pace_app_reads(FakeApp & app, size_t piece, std::chrono::milliseconds pause);

// Stops listening but leaves the socket file, so connects are refused as
// they are when the application has quit.
void stop_fake_app(FakeApp & app);

bool wait_for_app_messages(FakeApp & app, size_t count, std::chrono::milliseconds limit);
bool wait_for_app_connections(FakeApp & app, size_t count, std::chrono::milliseconds limit);
std::vector<std::string> app_messages(FakeApp & app);

// Pushes one text on the return socket: `piece` bytes at a time with
// `pause` between pieces (all at once when piece is 0), then closes.
bool push_text(std::string_view text, size_t piece = 0,
               std::chrono::milliseconds pause = std::chrono::milliseconds(0));

// The extension's side: the bridge's standard input and output.
struct ExtensionSide {
    child_process child;
    std::string unread;   // bytes read from the bridge's stdout, not yet taken as frames
};

std::string frame_of(std::string_view text);

// A JSON text of exactly `size` bytes (11 at the least), its letters varied
// so that a byte out of place shows.
std::string json_body(size_t size);

// Holds an exclusive lock on a file beside the fixed paths for as long as it
// lives. CTest's resource lock keeps one run's bridge tests apart; this one
// also keeps apart runs from different build trees on the same machine.
struct BridgePathsLock {
    int fd = -1;
    BridgePathsLock();
    ~BridgePathsLock();
    BridgePathsLock(const BridgePathsLock &) = delete;
    BridgePathsLock & operator=(const BridgePathsLock &) = delete;
};

// Removes the log and both socket files so each run starts from nothing.
void remove_bridge_files();

// A socket file nobody listens on, as a bridge that crashed leaves it.
void leave_stale_socket(const char * path);

// Waits until no bridge listens on the return socket any more. A bridge that
// the test did not start itself (the browser's) must be gone before the next
// test brings up an application it would take for its own.
bool wait_until_no_bridge_listens(std::chrono::milliseconds limit);

// How the extension's side hands the bridge its standard input and output.
enum class ExtensionChannel {
    pipes,               // a pipe each, as the browser does
    nonblocking_output,  // the pipe for standard output set non-blocking by whoever starts the bridge
    one_socket,          // one socket as both, so the bridge's own switch of its input to
                         // non-blocking makes its output non-blocking too
};

// Starts the bridge with an origin argument, as the browser does, and waits
// until its log shows it ready with the return socket bound. With
// `one_socket`, the child's stdin_fd and stdout_fd are two descriptors of the
// test's end of that socket.
ExtensionSide start_bridge(ExtensionChannel channel = ExtensionChannel::pipes,
                           std::chrono::milliseconds limit = std::chrono::seconds(10));

bool read_frame(ExtensionSide & extension, std::string & text, std::chrono::milliseconds limit);

// The messages of the log lines, without their "[seconds] " stamps. A line
// without a well-formed stamp comes back whole, prefixed by "BAD STAMP: ".
std::vector<std::string> log_messages();
size_t count_log_messages(std::string_view message);
// Waits until the log holds `message` at least `count` times.
bool wait_for_log_message(std::string_view message, std::chrono::milliseconds limit, size_t count = 1);
bool file_exists(const char * path);

// A child process running as another user ("nobody"), for the cases where
// the threat is another local user. `setup` runs in the child after the
// switch and must make plain system calls only (the child of a threaded
// process); the child then stays until released, so that what it set up (a
// listener, say) remains its own.
struct OtherUserChild {
    pid_t pid = -1;
    int release_fd = -1;
};

// setup_failed also stands for a child that ended without telling how its
// start went.
enum class OtherUserStart { running, cannot_switch, setup_failed };

OtherUserStart start_as_other_user(const std::function<bool()> & setup, OtherUserChild & child);
void release_other_user(OtherUserChild & child);
uid_t other_user_id();
