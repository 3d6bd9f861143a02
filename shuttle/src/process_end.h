#pragma once

#include "socket.h"

#include <string>

// The bridge's exit statuses. The browser takes any end of the bridge as the
// extension's port closing, so the extension or the application going away is
// an orderly end like any other, not a failure: only the start-up failure and
// the faults the bridge cannot carry on from are told apart.
enum class ShuttleExit : int {
    orderly = 0,
    app_not_running_at_start = 1,  // the desktop application did not answer the first probe
    fatal = 101,                   // a worker thread that cannot start, a failed extension_conn lock
};

// Every thread may end the whole process at any moment; nothing is left to
// flush (frames go straight to the descriptor), so the end is immediate.
[[noreturn]] void end_process(ShuttleExit status);

// An orderly end: `log_line` in the log, the return socket removed when it is
// still this bridge's, status 0.
[[noreturn]] void end_orderly(const std::string & log_line);

// The failures the bridge cannot carry on from: message and description on
// standard error, status 101.
[[noreturn]] void end_with_fatal_error(const char * message, const char * description);

// The return socket file this bridge bound. A newer bridge may have replaced
// it since; only the file remembered here is this bridge's to delete.
void remember_return_socket(const SocketFileIdentity & identity);

// Deletes the return socket file when it is still the one this bridge bound;
// errors (the file missing included) are no news worth telling.
void cleanup_return_socket();

// The desktop application did not answer at start-up: the socket files left
// at both paths go (sockets only), status 1.
[[noreturn]] void cleanup_and_exit();
