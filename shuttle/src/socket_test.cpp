#include "socket.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace {

std::atomic<bool> fail_chmod{false};

} // namespace

// glibc declares chmod as throwing nothing (its __THROW), and a definition
// must promise the same; other C libraries declare it plainly.
#ifndef __THROW
#define __THROW
#endif

// Stands in for the C library's chmod throughout this test program, so that
// the one step between bind and listen that touches the file can be made to
// fail on demand; otherwise it does what chmod does.
extern "C" int chmod(const char * path, mode_t mode) __THROW {
    if (fail_chmod.load()) {
        errno = EPERM;
        return -1;
    }
    return fchmodat(AT_FDCWD, path, mode, 0);
}

TEST(UnixListen, FailureAfterBindLeavesNoSocketFileBehind) {
    char dir[] = "/tmp/lanternwick_socket_test_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string path = std::string(dir) + "/return.sock";

    fail_chmod = true;
    int fd = -1;
    IoStatus status = unix_listen(path.c_str(), fd);
    fail_chmod = false;
    EXPECT_EQ(IoState::failed, status.state);
    EXPECT_EQ(os_error_text(EPERM), status.error);
    EXPECT_EQ(-1, fd);
    struct stat info;
    EXPECT_NE(0, lstat(path.c_str(), &info)) << "the socket file was left behind";

    // The same path binds again at once, with the mode narrowed.
    ASSERT_EQ(IoState::ok, unix_listen(path.c_str(), fd).state);
    ASSERT_EQ(0, lstat(path.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777u);
    close(fd);
    unlink(path.c_str());
    rmdir(dir);
}
