#pragma once

#include "io.h"

#include <sys/types.h>

#include <chrono>

// Thin wrappers over the POSIX socket calls the bridge makes; each returns
// what happened as a value with the text the log shows.

// A connect to the UNIX stream socket at `path` that gives up after `limit`:
// an application that stopped accepting must not hold the bridge. A connect
// that would block (a full backlog) fails at once. The socket comes back in
// blocking mode.
IoStatus unix_connect(const char * path, std::chrono::milliseconds limit, int & fd);

// A UNIX stream socket bound at `path`, reachable by this user alone,
// listening with the largest backlog the system allows.
IoStatus unix_listen(const char * path, int & fd);

// would_block when no connection is waiting on a non-blocking listener.
IoStatus accept_connection(int listen_fd, int & fd);

// ok when the process at the other end of `fd` runs as this process's user;
// otherwise the error names both user ids.
IoStatus check_peer_is_this_user(int fd);

// Which file a path stands for, so that a socket file can be told apart from
// another one made later at the same path.
struct SocketFileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

bool operator==(const SocketFileIdentity & a, const SocketFileIdentity & b);

IoStatus socket_file_identity(const char * path, SocketFileIdentity & identity);

// Deletes the file at `path` only when it is a socket: the fixed paths lie in
// a shared directory, and whatever else stands there is not the bridge's.
// No file at all is no failure; `removed` tells whether there was one.
IoStatus remove_socket_file(const char * path, bool & removed);

IoStatus set_nonblocking(int fd, bool nonblocking);
IoStatus set_receive_timeout(int fd, std::chrono::milliseconds timeout);
IoStatus set_send_timeout(int fd, std::chrono::milliseconds timeout);
