#include "socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

IoStatus unix_address(const char * path, sockaddr_un & address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        return IoStatus{IoState::failed, os_error_text(ENAMETOOLONG)};
    }
    std::strcpy(address.sun_path, path);
    return IoStatus{};
}

// The address for `path` and a fresh stream socket to use it with.
IoStatus open_unix_socket(const char * path, sockaddr_un & address, int & fd) {
    IoStatus status = unix_address(path, address);
    if (status.state != IoState::ok) {
        return status;
    }
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    return fd < 0 ? status_from_errno() : IoStatus{};
}

// A failed call after the socket exists: report its errno, then let the
// socket go and leave `fd` at -1.
IoStatus close_with_error(int & fd) {
    IoStatus status = status_from_errno();
    close(fd);
    fd = -1;
    return status;
}

IoStatus set_timeout(int fd, int option, std::chrono::milliseconds timeout) {
    timeval value{};
    value.tv_sec = static_cast<decltype(value.tv_sec)>(timeout.count() / 1000);
    value.tv_usec = static_cast<decltype(value.tv_usec)>((timeout.count() % 1000) * 1000);
    if (setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0) {
        return status_from_errno();
    }
    return IoStatus{};
}

// A UNIX socket connects at once or fails at once on the platforms we know;
// should one report the connect as in progress, it gets `limit` to finish.
IoStatus connect_within(int fd, const sockaddr_un & address, std::chrono::milliseconds limit) {
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        return IoStatus{};
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return status_from_errno();
    }
    IoStatus status = wait_until_ready(fd, POLLOUT, std::chrono::steady_clock::now() + limit);
    if (status.state != IoState::ok) {
        return status;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return status_from_errno();
    }
    return error == 0 ? IoStatus{} : IoStatus{IoState::failed, os_error_text(error)};
}

IoStatus peer_user_id(int fd, uid_t & uid) {
#ifdef __linux__
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        return status_from_errno();
    }
    uid = credentials.uid;
#else
    gid_t gid = 0;
    if (getpeereid(fd, &uid, &gid) != 0) {
        return status_from_errno();
    }
#endif
    return IoStatus{};
}

} // namespace

IoStatus unix_connect(const char * path, std::chrono::milliseconds limit, int & fd) {
    sockaddr_un address;
    IoStatus status = open_unix_socket(path, address, fd);
    if (status.state != IoState::ok) {
        return status;
    }
    status = set_nonblocking(fd, true);
    if (status.state == IoState::ok) {
        status = connect_within(fd, address, limit);
    }
    if (status.state == IoState::ok) {
        status = set_nonblocking(fd, false);
    }
    if (status.state != IoState::ok) {
        close(fd);
        fd = -1;
        // A connect that would block (a full backlog) is still a failure here.
        status.state = IoState::failed;
    }
    return status;
}

IoStatus unix_listen(const char * path, int & fd) {
    sockaddr_un address;
    IoStatus status = open_unix_socket(path, address, fd);
    if (status.state != IoState::ok) {
        return status;
    }
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        return close_with_error(fd);
    }
    // Nobody can connect before listen, so narrowing the mode in between
    // leaves no moment in which another user could.
    if (chmod(path, 0600) != 0 || listen(fd, SOMAXCONN) != 0) {
        status = close_with_error(fd);
        // Never handed back, the file would be nobody's to delete and stand
        // in the way of the next bind.
        unlink(path);
        return status;
    }
    return IoStatus{};
}

IoStatus accept_connection(int listen_fd, int & fd) {
    do {
        fd = accept(listen_fd, nullptr, nullptr);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? status_from_errno() : IoStatus{};
}

IoStatus check_peer_is_this_user(int fd) {
    uid_t peer = 0;
    IoStatus status = peer_user_id(fd, peer);
    if (status.state != IoState::ok) {
        return IoStatus{IoState::failed, "cannot tell the peer's user: " + status.error};
    }
    uid_t self = geteuid();
    if (peer != self) {
        return IoStatus{IoState::failed, "peer runs as user " + std::to_string(peer) + ", this bridge as user " +
                                             std::to_string(self)};
    }
    return IoStatus{};
}

bool operator==(const SocketFileIdentity & a, const SocketFileIdentity & b) {
    return a.device == b.device && a.inode == b.inode;
}

IoStatus socket_file_identity(const char * path, SocketFileIdentity & identity) {
    struct stat info;
    if (lstat(path, &info) != 0) {
        return status_from_errno();
    }
    identity = SocketFileIdentity{info.st_dev, info.st_ino};
    return IoStatus{};
}

IoStatus remove_socket_file(const char * path, bool & removed) {
    removed = false;
    struct stat info;
    if (lstat(path, &info) != 0) {
        return errno == ENOENT ? IoStatus{} : status_from_errno();
    }
    if (!S_ISSOCK(info.st_mode)) {
        return IoStatus{IoState::failed, "not a socket, left in place"};
    }
    if (unlink(path) != 0) {
        return status_from_errno();
    }
    removed = true;
    return IoStatus{};
}

IoStatus set_nonblocking(int fd, bool nonblocking) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return status_from_errno();
    }
    flags = nonblocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (fcntl(fd, F_SETFL, flags) != 0) {
        return status_from_errno();
    }
    return IoStatus{};
}

IoStatus set_receive_timeout(int fd, std::chrono::milliseconds timeout) {
    return set_timeout(fd, SO_RCVTIMEO, timeout);
}

IoStatus set_send_timeout(int fd, std::chrono::milliseconds timeout) {
    return set_timeout(fd, SO_SNDTIMEO, timeout);
}
