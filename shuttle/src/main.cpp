#include "app_socket.h"
#include "channel.h"
#include "log.h"
#include "process_end.h"
#include "relay.h"
#include "return_listener.h"
#include "signals.h"
#include "socket.h"
#include "watchdog.h"

#include <signal.h>

#include <system_error>
#include <thread>

namespace {

template <typename Body, typename... Args>
void spawn_detached(Body body, Args... args) {
    try {
        std::thread(body, std::move(args)...).detach();
    } catch (const std::system_error & failure) {
        end_with_fatal_error("failed to spawn thread", failure.what());
    }
}

} // namespace

// The browser passes the extension's origin as an argument; the bridge takes
// no options, so it is ignored.
int main() {
    // A browser or application that has gone must show up as a failed write,
    // not end the bridge unlogged.
    signal(SIGPIPE, SIG_IGN);
    block_terminating_signals();

    log_to_file("Shuttle starting\u2026");
    if (!is_socket_responding()) {
        log_to_file("Main app is not running (socket not responding)");
        cleanup_and_exit();
    }

    auto running = std::make_shared<std::atomic<bool>>(true);
    spawn_detached(monitor_main_app, running);
    spawn_detached(end_on_terminating_signal);

    GuardedExtensionConnection extension_conn;
    {
        auto lock = lock_extension_conn(extension_conn,
                                        "Failed to lock extension_conn mutex when setting stdin to non-blocking");
        // Ignored by the bridge's convention: should the switch fail, standard
        // input is read blocking and return messages wait for the extension's
        // next frame, but no frame is lost.
        (void)set_nonblocking(extension_conn.conn.input.fd, true);
        log_to_file("Set stdin to non-blocking mode");
    }

    auto return_message_channel = std::make_shared<ReturnMessageChannel>();
    spawn_detached(start_return_message_listener, return_message_channel, running);

    log_to_file("Shuttle started, waiting for messages\u2026");
    run_relay(extension_conn, *return_message_channel, *running);
}
