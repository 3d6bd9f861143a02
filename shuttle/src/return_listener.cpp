#include "return_listener.h"

#include "log.h"
#include "paths.h"
#include "process_end.h"
#include "socket.h"
#include "utf8.h"

#include <unistd.h>

#include <thread>

namespace {

constexpr auto k_accept_pause = std::chrono::milliseconds(100);
constexpr auto k_return_read_timeout = std::chrono::seconds(1);

void relay_connection(int connection_fd, ReturnMessageChannel & sender) {
    log_to_file("Received connection on return socket");
    IoStatus status = check_peer_is_this_user(connection_fd);
    if (status.state != IoState::ok) {
        log_to_file("Dropped return connection from another user: " + status.error);
        return;
    }
    std::string text;
    size_t length = 0;
    status = read_return_message(connection_fd, text, length);
    if (status.state != IoState::ok) {
        log_to_file("Failed to read from return socket: " + status.error);
        return;
    }
    if (length > k_max_extension_message) {
        log_to_file("Dropped return message of " + std::to_string(length) + " bytes: the browser takes at most " +
                    std::to_string(k_max_extension_message));
        return;
    }
    log_to_file("Received return message: " + loggable_text(text));
    if (send_return_message(sender, std::move(text))) {
        log_to_file("Successfully sent message to main thread");
    } else {
        log_to_file(std::string("Failed to send message to main thread: ") + k_closed_channel_error);
    }
}

// A socket left by an earlier bridge is in the way of binding; no file there
// is no news.
void clean_up_stale_return_socket() {
    bool removed = false;
    IoStatus status = remove_socket_file(k_return_socket_path, removed);
    if (status.state != IoState::ok) {
        log_to_file("Failed to clean up existing return socket file: " + status.error);
    } else if (removed) {
        log_to_file("Cleaned up existing return socket file");
    }
}

} // namespace

IoStatus read_return_message(int connection_fd, std::string & text, size_t & length) {
    // An accepted socket may or may not inherit the listener's non-blocking
    // mode (it does on the target), so set the mode it is read in explicitly.
    // A blocking read would wait on a silent pusher without any bound and
    // hold up every other one, so a connection that stays blocking is not
    // read at all.
    IoStatus status = set_nonblocking(connection_fd, true);
    if (status.state != IoState::ok) {
        return status;
    }
    status = read_to_end(connection_fd, text, k_max_extension_message, length,
                                  std::chrono::steady_clock::now() + k_return_read_timeout);
    if (status.state == IoState::ok && length <= k_max_extension_message && !is_valid_utf8(text)) {
        return IoStatus{IoState::failed, k_invalid_utf8_error};
    }
    return status;
}

void start_return_message_listener(std::shared_ptr<ReturnMessageChannel> sender,
                                   std::shared_ptr<std::atomic<bool>> running) {
    log_to_file("Starting return message listener thread...");
    clean_up_stale_return_socket();

    int listen_fd = -1;
    IoStatus status = unix_listen(k_return_socket_path, listen_fd);
    if (status.state != IoState::ok) {
        log_to_file(std::string("CRITICAL: Failed to bind return socket at ") + k_return_socket_path + ": " +
                    status.error);
        close_return_sender(*sender);
        return;
    }
    SocketFileIdentity bound;
    if (socket_file_identity(k_return_socket_path, bound).state == IoState::ok) {
        remember_return_socket(bound);
    }
    log_to_file(std::string("Successfully bound return socket at: ") + k_return_socket_path);
    log_to_file("Return message listener started and listening for connections");
    status = set_nonblocking(listen_fd, true);
    if (status.state != IoState::ok) {
        log_to_file("Warning: Failed to set return socket to non-blocking: " + status.error);
    }

    while (running->load(std::memory_order_relaxed)) {
        int connection_fd = -1;
        status = accept_connection(listen_fd, connection_fd);
        if (status.state == IoState::ok) {
            relay_connection(connection_fd, *sender);
            close(connection_fd);
            continue;
        }
        if (status.state != IoState::would_block) {
            log_to_file("Error accepting return connection: " + status.error);
        }
        std::this_thread::sleep_for(k_accept_pause);
    }
    log_to_file("Return message listener thread exiting");
    close(listen_fd);
    close_return_sender(*sender);
}
