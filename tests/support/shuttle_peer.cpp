#include "shuttle_peer.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

// Both ends closed on exec, so that only the descriptors handed over reach the bridge.
void close_both_on_exec(const int (&fds)[2]) {
    for (int fd : fds) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

// Plain system calls only, like the two below that use it.
bool unix_address(const char * path, sockaddr_un & address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path, length + 1);
    return true;
}

// A stream socket closed on exec, with the address for `path`; -1 when
// either cannot be had.
int open_unix_socket(const char * path, sockaddr_un & address) {
    if (!unix_address(path, address)) {
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return fd;
}

// Closes `fd` and returns -1, leaving errno as the failed call set it.
int close_failed(int fd) {
    int error_number = errno;
    close(fd);
    errno = error_number;
    return -1;
}

// The pace is looked up for every piece, so that a test can let the
// application catch up at once.
std::string read_connection(FakeApp & app, int fd) {
    std::string contents;
    char buffer[65536];
    for (;;) {
        size_t piece = 0;
        std::chrono::milliseconds pause(0);
        {
            std::lock_guard<std::mutex> lock(app.mutex);
            piece = app.read_piece;
            pause = app.read_pause;
        }
        ssize_t n = read(fd, buffer, piece == 0 ? sizeof buffer : std::min(piece, sizeof buffer));
        if (n > 0) {
            contents.append(buffer, static_cast<size_t>(n));
            std::this_thread::sleep_for(pause);
        } else if (n == 0 || errno != EINTR) {
            return contents;
        }
    }
}

void hold_up_reading(FakeApp & app, int fd) {
    char first = 0;
    if (recv(fd, &first, 1, MSG_PEEK) <= 0) {
        return;
    }
    std::chrono::milliseconds delay(0);
    {
        std::lock_guard<std::mutex> lock(app.mutex);
        if (!app.read_delays.empty()) {
            delay = app.read_delays.front();
            app.read_delays.pop_front();
        }
    }
    std::this_thread::sleep_for(delay);
}

void serve(FakeApp & app) {
    for (;;) {
        pollfd fds[2] = {{app.listen_fd, POLLIN, 0}, {app.wake_fds[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents) {
            return;
        }
        int fd = accept(app.listen_fd, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        hold_up_reading(app, fd);
        std::string contents = read_connection(app, fd);
        close(fd);
        {
            std::lock_guard<std::mutex> lock(app.mutex);
            ++app.connections;
            if (!contents.empty()) {
                app.messages.push_back(std::move(contents));
            }
        }
        app.changed.notify_all();
    }
}

template <typename Ready>
bool wait_until(FakeApp & app, std::chrono::milliseconds limit, Ready ready) {
    std::unique_lock<std::mutex> lock(app.mutex);
    return app.changed.wait_for(lock, limit, ready);
}

} // namespace

std::unique_ptr<FakeApp> start_fake_app() {
    auto app = std::make_unique<FakeApp>();
    unlink(k_app_socket);
    app->listen_fd = listen_unix(k_app_socket, SOMAXCONN);
    if (app->listen_fd < 0 || pipe(app->wake_fds) != 0) {
        throw std::runtime_error(std::string("fake app: ") + std::strerror(errno));
    }
    // The bridges a test starts must not inherit the wake pipe.
    close_both_on_exec(app->wake_fds);
    app->acceptor = std::thread(serve, std::ref(*app));
    return app;
}

void delay_app_reads(FakeApp & app, const std::vector<std::chrono::milliseconds> & delays) {
    std::lock_guard<std::mutex> lock(app.mutex);
    app.read_delays.assign(delays.begin(), delays.end());
}

void pace_app_reads(FakeApp & app, size_t piece, std::chrono::milliseconds pause) {
    std::lock_guard<std::mutex> lock(app.mutex);
    app.read_piece = piece;
    app.read_pause = pause;
}

void stop_fake_app(FakeApp & app) {
    if (!app.acceptor.joinable()) {
        return;
    }
    char wake = 1;
    ssize_t ignored = write(app.wake_fds[1], &wake, 1);
    (void)ignored;
    app.acceptor.join();
    close(app.listen_fd);
    close(app.wake_fds[0]);
    close(app.wake_fds[1]);
}

bool wait_for_app_messages(FakeApp & app, size_t count, std::chrono::milliseconds limit) {
    return wait_until(app, limit, [&] { return app.messages.size() >= count; });
}

bool wait_for_app_connections(FakeApp & app, size_t count, std::chrono::milliseconds limit) {
    return wait_until(app, limit, [&] { return app.connections >= count; });
}

std::vector<std::string> app_messages(FakeApp & app) {
    std::lock_guard<std::mutex> lock(app.mutex);
    return app.messages;
}

int listen_unix(const char * path, int backlog) {
    sockaddr_un address;
    int fd = open_unix_socket(path, address);
    if (fd >= 0 && (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, backlog) != 0)) {
        return close_failed(fd);
    }
    return fd;
}

int connect_unix(const char * path, bool nonblocking) {
    sockaddr_un address;
    int fd = open_unix_socket(path, address);
    if (fd >= 0 && nonblocking && fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        return close_failed(fd);
    }
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        return close_failed(fd);
    }
    return fd;
}

bool push_text(std::string_view text, size_t piece, std::chrono::milliseconds pause) {
    int fd = connect_unix(k_return_socket);
    if (fd < 0) {
        return false;
    }
    bool written = true;
    size_t step = piece == 0 ? text.size() : piece;
    for (size_t at = 0; at < text.size() && written; at += step) {
        if (at > 0) {
            std::this_thread::sleep_for(pause);
        }
        std::string_view part = text.substr(at, step);
        while (!part.empty()) {
            ssize_t n = write(fd, part.data(), part.size());
            if (n <= 0) {
                written = false;
                break;
            }
            part.remove_prefix(static_cast<size_t>(n));
        }
    }
    close(fd);
    return written;
}

std::string json_body(size_t size) {
    std::string body = "{\"data\":\"";
    body.reserve(size);
    while (body.size() + 2 < size) {
        body.push_back(static_cast<char>('a' + body.size() % 26));
    }
    return body + "\"}";
}

std::string frame_of(std::string_view text) {
    uint32_t length = static_cast<uint32_t>(text.size());
    std::string frame(reinterpret_cast<const char *>(&length), sizeof length);
    frame.append(text);
    return frame;
}

BridgePathsLock::BridgePathsLock() {
    fd = open("/tmp/lanternwick_sockets.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    while (fd >= 0 && flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

BridgePathsLock::~BridgePathsLock() {
    if (fd >= 0) {
        close(fd);
    }
}

void remove_bridge_files() {
    unlink(k_bridge_log);
    unlink(k_app_socket);
    unlink(k_return_socket);
}

void leave_stale_socket(const char * path) {
    unlink(path);
    int fd = listen_unix(path, 1);
    if (fd < 0) {
        throw std::runtime_error(std::string("stale socket: ") + std::strerror(errno));
    }
    close(fd);
}

bool wait_until_no_bridge_listens(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int fd = connect_unix(k_return_socket);
        if (fd < 0) {
            return true;
        }
        close(fd);
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

namespace {

child_process start_bridge_process(ExtensionChannel channel) {
    const std::vector<std::string> argv = {SHUTTLE_BINARY, "chrome-extension://lanternwicktestextension/"};
    if (channel == ExtensionChannel::pipes) {
        return start_process(argv);
    }
    int fds[2];
    int made = channel == ExtensionChannel::one_socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds);
    if (made != 0) {
        throw std::runtime_error(std::string("bridge channel: ") + std::strerror(errno));
    }
    close_both_on_exec(fds);
    // The bridge gets a pipe's writing end.
    int bridge_end = fds[1];
    int test_end = fds[0];
    child_process child;
    if (channel == ExtensionChannel::one_socket) {
        std_descriptor given{std_descriptor::given, "", bridge_end};
        child = start_process_with(argv, {given, given, {}});
        child.stdin_fd = test_end;
        child.stdout_fd = fcntl(test_end, F_DUPFD_CLOEXEC, 0);
    } else {
        // The flag belongs to the open file description, which the bridge's
        // descriptor 1 shares.
        fcntl(bridge_end, F_SETFL, fcntl(bridge_end, F_GETFL) | O_NONBLOCK);
        child = start_process_with(argv, {{}, {std_descriptor::given, "", bridge_end}, {}});
        child.stdout_fd = test_end;
    }
    close(bridge_end);
    return child;
}

} // namespace

ExtensionSide start_bridge(ExtensionChannel channel, std::chrono::milliseconds limit) {
    // Another bridge may have logged the same lines already.
    const char * listening = "Return message listener started and listening for connections";
    const char * started = "Shuttle started, waiting for messages\u2026";
    size_t listening_before = count_log_messages(listening);
    size_t started_before = count_log_messages(started);
    ExtensionSide extension;
    extension.child = start_bridge_process(channel);
    if (!wait_for_log_message(listening, limit, listening_before + 1) ||
        !wait_for_log_message(started, limit, started_before + 1)) {
        throw std::runtime_error("bridge did not start; log:\n" + read_file(k_bridge_log));
    }
    return extension;
}

bool read_frame(ExtensionSide & extension, std::string & text, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (extension.unread.size() >= 4) {
            uint32_t length = 0;
            std::memcpy(&length, extension.unread.data(), sizeof length);
            if (extension.unread.size() >= 4 + static_cast<size_t>(length)) {
                text = extension.unread.substr(4, length);
                extension.unread.erase(0, 4 + static_cast<size_t>(length));
                return true;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || extension.child.stdout_fd < 0) {
            return false;
        }
        // One read as soon as anything arrives, so timings see the frame at once.
        pollfd wanted{extension.child.stdout_fd, POLLIN, 0};
        if (poll(&wanted, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[65536];
        ssize_t n = read(extension.child.stdout_fd, buffer, sizeof buffer);
        if (n > 0) {
            extension.unread.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(extension.child.stdout_fd);
            extension.child.stdout_fd = -1;
        }
    }
}

std::vector<std::string> log_messages() {
    std::vector<std::string> messages;
    for (const auto & line : split_lines(read_file(k_bridge_log))) {
        size_t close = line.find("] ");
        bool stamped = line.size() > 1 && line[0] == '[' && close != std::string::npos && close > 1;
        for (size_t i = 1; stamped && i < close; ++i) {
            stamped = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        }
        messages.push_back(stamped ? line.substr(close + 2) : "BAD STAMP: " + line);
    }
    return messages;
}

size_t count_log_messages(std::string_view message) {
    auto messages = log_messages();
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

bool wait_for_log_message(std::string_view message, std::chrono::milliseconds limit, size_t count) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (count_log_messages(message) >= count) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool file_exists(const char * path) {
    struct stat info;
    return lstat(path, &info) == 0;
}

namespace {

OtherUserStart start_from_verdict(char verdict) {
    switch (verdict) {
    case 'R':
        return OtherUserStart::running;
    case 'U':
        return OtherUserStart::cannot_switch;
    default:
        return OtherUserStart::setup_failed;
    }
}

} // namespace

uid_t other_user_id() { return other_user().uid; }

OtherUserStart start_as_other_user(const std::function<bool()> & setup, OtherUserChild & child) {
    if (geteuid() != 0) {
        return OtherUserStart::cannot_switch;
    }
    const other_user_ids user = other_user();
    int ready[2], release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    // The bridges a test starts must not hold the child's release pipe open.
    close_both_on_exec(ready);
    close_both_on_exec(release);
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        close(ready[0]);
        close(release[1]);
        bool switched = setgroups(0, nullptr) == 0 && setgid(user.gid) == 0 && setuid(user.uid) == 0;
        char verdict = !switched ? 'U' : setup() ? 'R' : 'S';
        ssize_t ignored = write(ready[1], &verdict, 1);
        ignored = read(release[0], &verdict, 1);
        (void)ignored;
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    // A child that dies before its verdict leaves this one, which no child
    // writes: a broken set-up must fail the test, not skip it.
    char verdict = '?';
    while (read(ready[0], &verdict, 1) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    child = OtherUserChild{pid, release[1]};
    OtherUserStart started = start_from_verdict(verdict);
    if (started != OtherUserStart::running) {
        release_other_user(child);
    }
    return started;
}

void release_other_user(OtherUserChild & child) {
    if (child.pid < 0) {
        return;
    }
    close(child.release_fd);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    child = OtherUserChild{};
}
