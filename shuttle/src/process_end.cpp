#include "process_end.h"

#include "log.h"
#include "paths.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace {

std::mutex return_socket_mutex;
bool return_socket_bound = false;
SocketFileIdentity return_socket;

} // namespace

void end_process(ShuttleExit status) { _exit(static_cast<int>(status)); }

void end_with_fatal_error(const char * message, const char * description) {
    std::fprintf(stderr, "%s: %s\n", message, description);
    end_process(ShuttleExit::fatal);
}

void remember_return_socket(const SocketFileIdentity & identity) {
    std::lock_guard<std::mutex> lock(return_socket_mutex);
    return_socket = identity;
    return_socket_bound = true;
}

void cleanup_return_socket() {
    std::lock_guard<std::mutex> lock(return_socket_mutex);
    SocketFileIdentity present;
    if (!return_socket_bound || socket_file_identity(k_return_socket_path, present).state != IoState::ok ||
        !(present == return_socket)) {
        return;
    }
    unlink(k_return_socket_path);
}

void cleanup_and_exit() {
    // This bridge has bound no return socket yet, so one at the path is
    // another bridge's: left by one that crashed, or still served by one
    // that runs. Deleting it is fine either way: the application has just
    // been found gone, and a bridge still serving the socket finds the same
    // at its next probe and ends within the watchdog's period.
    bool removed = false;
    (void)remove_socket_file(k_app_socket_path, removed);
    (void)remove_socket_file(k_return_socket_path, removed);
    end_process(ShuttleExit::app_not_running_at_start);
}

void end_orderly(const std::string & log_line) {
    log_to_file(log_line);
    cleanup_return_socket();
    end_process(ShuttleExit::orderly);
}
