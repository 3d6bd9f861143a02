#include "quill_session.h"

#include <poll.h>

#include <algorithm>
#include <iterator>

namespace {

std::vector<std::string> quill_argv(const std::vector<std::string> & options) {
    std::vector<std::string> argv = {QUILL_BINARY};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
}

} // namespace

std::string test_model(const std::string & name) { return std::string(TEST_MODEL_DIR) + "/" + name; }

quill_session start_quill(const std::vector<std::string> & options, const std::string & cwd) {
    return quill_session{start_process(quill_argv(options), cwd), "", "", nullptr, nullptr};
}

quill_session start_quill_with(const std::vector<std::string> & options, const std_descriptor (&descriptors)[3],
                               const std::string & cwd, child_sigpipe sigpipe) {
    return quill_session{start_process_with(quill_argv(options), descriptors, cwd, sigpipe), "", "", nullptr, nullptr};
}

bool pump(quill_session & s, std::chrono::steady_clock::time_point until, const std::function<bool()> & enough) {
    while (s.child.stdout_fd >= 0 || s.child.stderr_fd >= 0) {
        if (enough && enough()) {
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd fds[2] = {{s.child.stdout_fd, POLLIN, 0}, {s.child.stderr_fd, POLLIN, 0}};
        const int ready = poll(fds, 2, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (ready <= 0) {
            return false;
        }
        if (fds[0].revents) {
            drain_once(s.child.stdout_fd, s.out);
        }
        if (fds[1].revents) {
            drain_once(s.child.stderr_fd, s.err);
        }
        if (s.after_read) {
            s.after_read();
        }
    }
    return enough && enough();
}

bool feed(quill_session & s, const std::string & bytes, pace how, size_t bytes_per_second) {
    static const size_t k_odd_sizes[] = {1, 4097, 3, 8191, 333, 7, 5000, 2};
    const auto begin = std::chrono::steady_clock::now();
    size_t done = 0;
    for (size_t k = 0; done < bytes.size(); ++k) {
        const size_t write_size = how == pace::one_write   ? bytes.size()
                                  : how == pace::real_time ? bytes_per_second / 10
                                                           : k_odd_sizes[k % std::size(k_odd_sizes)];
        const size_t size = std::min(write_size, bytes.size() - done);
        if (!write_to_child(s.child, bytes.substr(done, size))) {
            return false;
        }
        done += size;
        if (s.after_write) {
            s.after_write(done);
        }
        using std::chrono::microseconds, std::chrono::milliseconds, std::chrono::steady_clock;
        const auto due = how == pace::real_time   ? begin + microseconds(done * 1000000 / bytes_per_second)
                         : how == pace::odd_bursts ? steady_clock::now() + milliseconds(25)
                                                   : steady_clock::now();
        pump(s, due);
    }
    return true;
}

process_result finish_quill(quill_session & s, std::chrono::milliseconds limit) {
    return finish_process_after(s.child, s.out, s.err, limit);
}

process_result run_quill(const std::vector<std::string> & options, const std::string & input, const std::string & cwd,
                         std::chrono::milliseconds limit) {
    return run_process(quill_argv(options), input, limit, cwd);
}
