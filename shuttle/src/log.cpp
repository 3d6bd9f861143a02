#include "log.h"

#include "paths.h"
#include "process_end.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

std::string format_log_line(uint64_t epoch_seconds, std::string_view message) {
    std::string line = "[" + std::to_string(epoch_seconds) + "] ";
    line.append(message);
    line.push_back('\n');
    return line;
}

namespace {

uint64_t epoch_seconds_now() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    if (seconds < 0) {
        end_with_fatal_error("SystemTime should be after UNIX_EPOCH", "the wall clock reads before 1970");
    }
    return static_cast<uint64_t>(seconds);
}

} // namespace

void log_to_file(std::string_view message) {
    int fd = open(k_log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return;
    }
    // One write per line keeps the three threads' lines from interleaving.
    std::string line = format_log_line(epoch_seconds_now(), message);
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
}
