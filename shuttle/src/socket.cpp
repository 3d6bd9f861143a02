#include "socket.h"

#include <fcntl.h>
#include <sys/socket.h>
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

// A failed call after the socket exists: report its errno, then let the socket go.
IoStatus close_with_error(int fd) {
    IoStatus status = status_from_errno();
    close(fd);
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

} // namespace

IoStatus unix_connect(const char * path, int & fd) {
    sockaddr_un address;
    IoStatus status = open_unix_socket(path, address, fd);
    if (status.state != IoState::ok) {
        return status;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        status = close_with_error(fd);
        fd = -1;
        // A connect that would block (a full backlog) is still a failure here.
        status.state = IoState::failed;
        return status;
    }
    return IoStatus{};
}

IoStatus unix_listen(const char * path, int & fd) {
    sockaddr_un address;
    IoStatus status = open_unix_socket(path, address, fd);
    if (status.state != IoState::ok) {
        return status;
    }
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd, SOMAXCONN) != 0) {
        status = close_with_error(fd);
        fd = -1;
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
