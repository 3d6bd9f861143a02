#pragma once

#include "socket.h"

// Every thread may end the whole process at any moment; nothing is left to
// flush (frames go straight to the descriptor), so the end is immediate.
[[noreturn]] void end_process(int status);

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
