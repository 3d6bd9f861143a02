#include "standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

void open_closed_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number is this one, since those below are open by now;
        // nothing can be reported when even /dev/null does not open.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}
