#include "relay.h"

#include "app_socket.h"
#include "log.h"
#include "process_end.h"
#include "socket.h"
#include "utf8.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <system_error>
#include <thread>

namespace {

constexpr auto k_return_wait = std::chrono::milliseconds(100);
constexpr auto k_app_send_timeout = std::chrono::milliseconds(100);
constexpr int k_reconnect_passes = 30;
constexpr auto k_reconnect_pause = std::chrono::seconds(1);

[[noreturn]] void clean_exit(std::atomic<bool> & running) {
    wind_down_cleanly(running, log_to_file);
    end_process(ShuttleExit::orderly);
}

// The prefix and the text go in one write_all, which waits for room however
// standard output was set up: a frame goes out whole, or stops at a real
// failure, after which the browser's end of the stream is gone anyway.
IoStatus write_frame(GuardedExtensionConnection & extension_conn, std::string_view text,
                     const char * lock_failure_message) {
    std::string frame;
    IoStatus status = encode_frame(text, frame);
    if (status.state != IoState::ok) {
        return status;
    }
    auto lock = lock_extension_conn(extension_conn, lock_failure_message);
    return write_all(extension_conn.conn.output_fd, frame);
}

void send_return_message_to_extension(GuardedExtensionConnection & extension_conn, const std::string & text) {
    log_to_file("Sending immediate return message to extension: " + loggable_text(text));
    IoStatus status = write_frame(extension_conn, text, "Failed to lock extension_conn mutex when writing return message");
    if (status.state == IoState::ok) {
        log_to_file("Successfully sent immediate return message to extension");
    } else {
        log_to_file("Failed to send immediate return message to extension: " + status.error);
    }
}

void relay_to_app(const std::string & text) {
    int fd = -1;
    if (connect_to_app(fd).state != IoState::ok) {
        end_orderly("Main app is no longer running (connection failed)");
    }
    // Each write waits at most the send time-out; an application that reads
    // slowly or in bursts still gets the whole message, however long it
    // takes, as long as it keeps up about 2 KB/s (a 4 KiB piece of the
    // write within each stall window), and counts as gone once it takes
    // none for that long. Cut short, the message would pass for a whole one.
    // Ignored, like every socket time-out of the bridge: should it fail, a
    // write waits for the application to read, however long that takes.
    (void)set_send_timeout(fd, k_app_send_timeout);
    IoStatus status = write_all(fd, text, k_message_stall_window);
    if (status.state != IoState::ok) {
        end_orderly("Main app is no longer running (write failed): " + status.error);
    }
    close(fd);
}

// One message from the extension, once its length prefix is in.
void relay_extension_message(GuardedExtensionConnection & extension_conn, uint32_t length,
                             std::atomic<bool> & running) {
    std::string body;
    IoStatus status;
    {
        auto lock = lock_extension_conn(extension_conn, "Failed to lock extension_conn mutex when reading message body");
        status = read_body(extension_conn.conn.input, length, body);
    }
    if (status.state != IoState::ok) {
        log_to_file("Failed to read message body: " + status.error);
        clean_exit(running);
    }
    if (!is_valid_utf8(body)) {
        log_to_file("Failed to parse message as UTF-8");
        return;
    }
    log_to_file("Received message: " + loggable_text(body));
    relay_to_app(body);
    status = write_frame(extension_conn, acknowledgement_text(), "Failed to lock extension_conn mutex when writing response");
    if (status.state != IoState::ok) {
        log_to_file("Failed to write response - extension likely disconnected");
        clean_exit(running);
    }
    log_to_file("Successfully processed message, continuing to listen...");
}

// Returns when a byte arrives on standard input again; ends the process otherwise.
void wait_for_reconnection(GuardedExtensionConnection & extension_conn, const std::string & error,
                           std::atomic<bool> & running) {
    log_to_file("Error reading from stdin (extension disconnected): " + error);
    log_to_file("Extension disconnected, but keeping return socket alive for potential reconnection...");
    for (int pass = 0; pass < k_reconnect_passes; ++pass) {
        if (!is_socket_responding()) {
            end_orderly("Main app is no longer running, exiting");
        }
        std::this_thread::sleep_for(k_reconnect_pause);
        bool reconnected = false;
        {
            auto lock = lock_extension_conn(extension_conn, "Failed to lock extension_conn mutex when testing reconnection");
            reconnected = take_test_byte(extension_conn.conn.input);
        }
        if (reconnected) {
            log_to_file("Extension seems to have reconnected, resuming normal operation");
            return;
        }
    }
    log_to_file("Extension didn't reconnect within 30 seconds, exiting");
    clean_exit(running);
}

} // namespace

// The line goes in before `running` is cleared, so that whatever the worker
// threads log on their way out follows it.
void wind_down_cleanly(std::atomic<bool> & running, const std::function<void(std::string_view)> & log) {
    log("Shuttle exiting cleanly");
    running.store(false, std::memory_order_relaxed);
    cleanup_return_socket();
}

std::string acknowledgement_text() {
    nlohmann::json ack = nlohmann::json::object();
    ack["status"] = "success";
    ack["message"] = "Message received and processed";
    return ack.dump();
}

std::unique_lock<std::mutex> lock_extension_conn(GuardedExtensionConnection & extension_conn,
                                                 const char * failure_message) {
    try {
        return std::unique_lock<std::mutex>(extension_conn.mutex);
    } catch (const std::system_error & failure) {
        end_with_fatal_error(failure_message, failure.what());
    }
}

// Standard output takes frames from this thread alone, both pushed texts and
// acknowledgements, so this one thread must watch both sources, and the
// queue is no descriptor that one poll could wait on together with standard
// input. So each pass waits on the queue, at most 100 ms, and then only
// looks at standard input without blocking: a push goes out within a pass
// even while the extension is silent, pushes go ahead of the extension's
// next frame, and an extension's frame waits at most about 100 ms.
void run_relay(GuardedExtensionConnection & extension_conn, ReturnMessageChannel & receiver,
               std::atomic<bool> & running) {
    for (;;) {
        std::string text;
        ReceiveState received = receive_return_message(receiver, k_return_wait, text);
        if (received == ReceiveState::received) {
            send_return_message_to_extension(extension_conn, text);
            continue;
        }
        if (received == ReceiveState::disconnected) {
            log_to_file("Return message channel disconnected");
            clean_exit(running);
        }

        uint32_t length = 0;
        IoStatus status;
        {
            auto lock = lock_extension_conn(extension_conn, "Failed to lock extension_conn mutex when reading from stdin");
            status = read_length_prefix(extension_conn.conn.input, length);
        }
        if (status.state == IoState::would_block) {
            continue;
        }
        if (status.state != IoState::ok) {
            wait_for_reconnection(extension_conn, status.error, running);
            continue;
        }
        relay_extension_message(extension_conn, length, running);
    }
}
