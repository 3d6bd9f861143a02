#include "app_socket.h"

#include "log.h"
#include "paths.h"
#include "socket.h"

#include <unistd.h>

namespace {

constexpr auto k_probe_timeout = std::chrono::milliseconds(10);

} // namespace

IoStatus connect_to_app(int & fd) {
    IoStatus status = unix_connect(k_app_socket_path, k_probe_timeout, fd);
    if (status.state != IoState::ok) {
        return status;
    }
    status = check_peer_is_this_user(fd);
    if (status.state != IoState::ok) {
        log_to_file("Refused the application socket: " + status.error);
        close(fd);
        fd = -1;
    }
    return status;
}

bool is_socket_responding() {
    int fd = -1;
    if (connect_to_app(fd).state != IoState::ok) {
        return false;
    }
    // Ignored, like every socket time-out of the bridge: should it fail, the
    // probe waits until the application writes or closes, and still judges it.
    (void)set_receive_timeout(fd, k_probe_timeout);
    char byte = 0;
    size_t got = 0;
    IoState state = read_some(fd, &byte, 1, got).state;
    close(fd);
    // Silence until the time-out means the application holds the line open.
    return state == IoState::ok || state == IoState::would_block;
}
