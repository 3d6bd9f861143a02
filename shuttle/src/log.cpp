#include "log.h"

#include "paths.h"
#include "process_end.h"
#include "utf8.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

std::string format_log_line(uint64_t epoch_seconds, std::string_view message) {
    std::string line = "[" + std::to_string(epoch_seconds) + "] ";
    line.append(message);
    line.push_back('\n');
    return line;
}

namespace {

constexpr size_t k_logged_text_bytes = 1024;

void append_escaped(std::string & into, std::string_view text) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            into += "\\n";
        } else if (byte == '\r') {
            into += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            into += escape;
        } else {
            into.push_back(c);
        }
    }
}

// Only a file this user made for the log and nothing else may take the
// lines: not one another user planted, nor a second name of one of ours.
bool is_own_log_file(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() && info.st_nlink == 1;
}

uint64_t epoch_seconds_now() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    if (seconds < 0) {
        end_with_fatal_error("SystemTime should be after UNIX_EPOCH", "the wall clock reads before 1970");
    }
    return static_cast<uint64_t>(seconds);
}

} // namespace

std::string loggable_text(std::string_view text) {
    std::string_view shown = utf8_prefix(text, k_logged_text_bytes);
    std::string logged;
    append_escaped(logged, shown);
    if (shown.size() < text.size()) {
        logged += " \u2026 (" + std::to_string(text.size()) + " bytes)";
    }
    return logged;
}

void log_to_file(std::string_view message) {
    // Non-blocking, so that a FIFO put at the path cannot hold the thread.
    int fd = open(k_log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        return;
    }
    if (!is_own_log_file(fd)) {
        close(fd);
        return;
    }
    // One write per line keeps the three threads' lines from interleaving.
    std::string line = format_log_line(epoch_seconds_now(), message);
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    close(fd);
}
