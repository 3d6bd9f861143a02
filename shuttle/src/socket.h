#pragma once

#include "io.h"

#include <chrono>

// Thin wrappers over the POSIX socket calls the bridge makes; each returns
// what happened as a value with the text the log shows.

// A blocking connect to the UNIX stream socket at `path`.
IoStatus unix_connect(const char * path, int & fd);

// A UNIX stream socket bound at `path`, listening with the largest backlog
// the system allows.
IoStatus unix_listen(const char * path, int & fd);

// would_block when no connection is waiting on a non-blocking listener.
IoStatus accept_connection(int listen_fd, int & fd);

IoStatus set_nonblocking(int fd, bool nonblocking);
IoStatus set_receive_timeout(int fd, std::chrono::milliseconds timeout);
IoStatus set_send_timeout(int fd, std::chrono::milliseconds timeout);
