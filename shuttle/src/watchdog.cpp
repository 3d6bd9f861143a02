#include "watchdog.h"

#include "log.h"
#include "paths.h"
#include "process_end.h"
#include "socket.h"

#include <unistd.h>

#include <thread>

bool is_socket_responding() {
    int fd = -1;
    if (unix_connect(k_app_socket_path, fd).state != IoState::ok) {
        return false;
    }
    set_receive_timeout(fd, std::chrono::milliseconds(10));
    char byte = 0;
    size_t got = 0;
    IoState state = read_some(fd, &byte, 1, got).state;
    close(fd);
    // Silence until the time-out means the application holds the line open.
    return state == IoState::ok || state == IoState::would_block;
}

void monitor_main_app(std::shared_ptr<std::atomic<bool>> running) {
    while (running->load(std::memory_order_relaxed)) {
        if (!is_socket_responding()) {
            log_to_file("Main app is no longer running (socket not responding)");
            cleanup_return_socket();
            end_process(0);
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
}
