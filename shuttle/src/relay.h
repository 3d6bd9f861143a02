#pragma once

#include "channel.h"
#include "framing.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

// The bridge's end of the native-messaging channel. The members are named
// for the streams they stand for: `stdin` and `stdout` are macros in C libraries.
struct ExtensionConnection {
    FrameInput input;
    int output_fd = 1;
};

// Only the main thread ever takes the lock; it is kept so that every step on
// the extension's streams stays one visible critical section.
struct GuardedExtensionConnection {
    std::mutex mutex;
    ExtensionConnection conn;
};

// The clean exit short of ending the process: "Shuttle exiting cleanly"
// through `log` (the log file but in tests), `running` cleared, the return
// socket removed.
void wind_down_cleanly(std::atomic<bool> & running, const std::function<void(std::string_view)> & log);

// The acknowledgement every relayed message earns: the JSON object with
// "message" and "status", printed compactly with its keys sorted.
std::string acknowledgement_text();

// Takes the lock or ends the process with status 101 and `failure_message`.
std::unique_lock<std::mutex> lock_extension_conn(GuardedExtensionConnection & extension_conn,
                                                 const char * failure_message);

// The relay loop; never returns.
[[noreturn]] void run_relay(GuardedExtensionConnection & extension_conn, ReturnMessageChannel & receiver,
                            std::atomic<bool> & running);
