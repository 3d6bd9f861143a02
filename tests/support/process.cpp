#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

void make_pipe(int fds[2]) {
    if (pipe(fds) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
}

void close_fd(int & fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}


bool reap(child_process & child, process_result & result, int options) {
    int status = 0;
    pid_t got = waitpid(child.pid, &status, options);
    if (got != child.pid) {
        return false;
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.term_signal = WTERMSIG(status);
    }
    child.pid = -1;
    return true;
}

} // namespace

void drain_once(int & fd, std::string & into) {
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(fd);
    }
}

child_process start_process(const std::vector<std::string> & argv, const std::string & cwd) {
    return start_process_with(argv, {{}, {}, {}}, cwd);
}

child_process start_process_with(const std::vector<std::string> & argv, const std_descriptor (&descriptors)[3],
                                 const std::string & cwd, child_sigpipe sigpipe) {
    // The child's end of each pipe, and the test's.
    int ends[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    for (int fd = 0; fd < 3; ++fd) {
        if (descriptors[fd].kind == std_descriptor::pipe) {
            make_pipe(ends[fd]);
            if (fd == 0) {
                std::swap(ends[fd][0], ends[fd][1]);  // the child reads its stdin
            }
        }
    }

    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        for (int fd = 0; fd < 3; ++fd) {
            const std_descriptor & wanted = descriptors[fd];
            int source = -1;
            switch (wanted.kind) {
            case std_descriptor::pipe: source = ends[fd][1]; break;
            case std_descriptor::given: source = wanted.fd; break;
            case std_descriptor::file:
                source = open(wanted.path.c_str(), fd == 0 ? O_RDONLY : O_WRONLY);
                if (source < 0) {
                    _exit(126);
                }
                break;
            case std_descriptor::closed: break;
            }
            if (source >= 0 && source != fd) {
                dup2(source, fd);
                if (wanted.kind == std_descriptor::file) {
                    close(source);
                }
            }
        }
        // Closed last, so no file opened above takes one of these numbers.
        for (int fd = 0; fd < 3; ++fd) {
            if (descriptors[fd].kind == std_descriptor::closed) {
                close(fd);
            }
        }
        signal(SIGPIPE, sigpipe == child_sigpipe::ignored ? SIG_IGN : SIG_DFL);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char *> args;
        for (const auto & arg : argv) {
            args.push_back(const_cast<char *>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    for (auto & end : ends) {
        close_fd(end[1]);
    }
    // A test that stops writing early must not die of SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    return child_process{pid, ends[0][0], ends[1][0], ends[2][0]};
}

bool write_to_child(const child_process & child, const std::string & data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(child.stdin_fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void close_child_stdin(child_process & child) { close_fd(child.stdin_fd); }

void read_child_stdout(child_process & child, std::string & out, std::chrono::milliseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (child.stdout_fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{child.stdout_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        drain_once(child.stdout_fd, out);
    }
}

process_result finish_process(child_process & child, std::chrono::milliseconds limit) {
    process_result result;
    close_child_stdin(child);
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (child.stdout_fd >= 0 || child.stderr_fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(child.pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{child.stdout_fd, POLLIN, 0}, {child.stderr_fd, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents) {
            drain_once(child.stdout_fd, result.out);
        }
        if (fds[1].revents) {
            drain_once(child.stderr_fd, result.err);
        }
    }
    close_fd(child.stdout_fd);
    close_fd(child.stderr_fd);
    if (child.pid > 0 && !result.timed_out) {
        // The pipes may close before the process has ended; wait for it, within the limit.
        while (!reap(child, result, WNOHANG)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                result.timed_out = true;
                kill(child.pid, SIGKILL);
                break;
            }
            usleep(5000);
        }
    }
    if (child.pid > 0) {
        reap(child, result, 0);
    }
    return result;
}

namespace {

// Writes `input` to the child's standard input while collecting what it
// prints into `out` and `err`, so that a child printing a lot never blocks on
// a full pipe while we still write; stops at `deadline`, or when the child no
// longer reads.
void feed_while_reading(child_process & child, const std::string & input, std::string & out, std::string & err,
                        std::chrono::steady_clock::time_point deadline) {
    size_t done = 0;
    while (done < input.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[3] = {{child.stdin_fd, POLLOUT, 0}, {child.stdout_fd, POLLIN, 0}, {child.stderr_fd, POLLIN, 0}};
        if (poll(fds, 3, 100) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents & (POLLERR | POLLHUP)) {
            break;
        }
        if (fds[0].revents & POLLOUT) {
            ssize_t n = write(child.stdin_fd, input.data() + done, std::min<size_t>(input.size() - done, 4096));
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                break;
            }
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
        if (fds[1].revents) {
            drain_once(child.stdout_fd, out);
        }
        if (fds[2].revents) {
            drain_once(child.stderr_fd, err);
        }
    }
}

// What is left until `deadline`, at least a millisecond: a limit that has
// run out still lets finish_process look once.
std::chrono::milliseconds time_left(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(1));
}

} // namespace

process_result finish_process_after(child_process & child, const std::string & out, const std::string & err,
                                    std::chrono::milliseconds limit) {
    process_result result = finish_process(child, limit);
    result.out = out + result.out;
    result.err = err + result.err;
    return result;
}

process_result run_process(const std::vector<std::string> & argv, const std::string & input,
                           std::chrono::milliseconds limit, const std::string & cwd) {
    child_process child = start_process(argv, cwd);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string out, err;
    feed_while_reading(child, input, out, err, deadline);
    return finish_process_after(child, out, err, time_left(deadline));
}

long proc_peak_resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

size_t count_of(const std::string & text, const std::string & needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

std::vector<std::string> split_lines(const std::string & text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string read_file(const std::string & path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void write_file(const std::string & path, const std::string & contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

std::string make_temp_dir(const std::string & prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    return mkdtemp(&pattern[0]) != nullptr ? pattern : "";
}

other_user_ids named_user(const char * name, other_user_ids usual) {
    const passwd * user = getpwnam(name);
    return user != nullptr ? other_user_ids{user->pw_uid, user->pw_gid} : usual;
}

other_user_ids other_user() { return named_user("nobody", {65534, 65534}); }
