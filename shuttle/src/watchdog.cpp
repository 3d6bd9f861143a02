#include "watchdog.h"

#include "app_socket.h"
#include "process_end.h"

#include <thread>

void monitor_main_app(std::shared_ptr<std::atomic<bool>> running) {
    while (running->load(std::memory_order_relaxed)) {
        if (!is_socket_responding()) {
            end_orderly("Main app is no longer running (socket not responding)");
        }
        std::this_thread::sleep_for(k_watchdog_period);
    }
}
