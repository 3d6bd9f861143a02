#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Runs the real programs from the tests: a child with its three standard
// descriptors on pipes, so a test can feed input piece by piece, read what it
// prints and see how it ends.
struct child_process {
    pid_t pid = -1;
    int stdin_fd = -1;
    int stdout_fd = -1;
    int stderr_fd = -1;
};

struct process_result {
    bool exited = false;   // false: killed by a signal, or timed out
    int exit_status = -1;
    int term_signal = 0;
    bool timed_out = false;
    std::string out;
    std::string err;
};

// Starts argv[0] (a path) with the given arguments; the working directory is
// `cwd` when not empty.
child_process start_process(const std::vector<std::string> & argv, const std::string & cwd = "");

// What one of the child's standard descriptors is: the usual pipe to the
// test, a file opened on it (read-only for descriptor 0, write-only else), a
// copy of a descriptor of the test's (a socket, say), or nothing at all. The
// child_process field of a descriptor that is not a pipe stays -1, and
// finish_process collects what the pipes carry.
struct std_descriptor {
    enum kind_t { pipe, file, given, closed } kind = pipe;
    std::string path;  // with `file`
    int fd = -1;       // with `given`
};
// How the child takes SIGPIPE: by its default action, whatever the test does
// with it, or ignored, as a parent that ignores it hands it on through exec.
enum class child_sigpipe { default_action, ignored };
child_process start_process_with(const std::vector<std::string> & argv, const std_descriptor (&descriptors)[3],
                                 const std::string & cwd = "", child_sigpipe sigpipe = child_sigpipe::default_action);

// Writes all of `data` to the child's standard input (blocking).
bool write_to_child(const child_process & child, const std::string & data);

// Closes the child's standard input so it sees end of input.
void close_child_stdin(child_process & child);

// Reads whatever the child prints on stdout within `wait`, appending to `out`.
void read_child_stdout(child_process & child, std::string & out, std::chrono::milliseconds wait);

// Closes stdin, collects stdout and stderr until the child ends, and kills it
// with SIGKILL when it has not ended within `limit`.
process_result finish_process(child_process & child, std::chrono::milliseconds limit);

// finish_process, with `out` and `err` (what was collected before) put in
// front of what it collects.
process_result finish_process_after(child_process & child, const std::string & out, const std::string & err,
                                    std::chrono::milliseconds limit);

// start_process, `input` written while what the child prints is read, and
// finish_process, within `limit` in all.
process_result run_process(const std::vector<std::string> & argv, const std::string & input = "",
                           std::chrono::milliseconds limit = std::chrono::seconds(60),
                           const std::string & cwd = "");

// A running child's peak resident memory in KiB as /proc tells it; -1
// where there is no /proc (macOS), so each caller says what it falls back on.
long proc_peak_resident_kib(pid_t pid);

// How many times `needle` stands in `text`, counting from after each one found.
size_t count_of(const std::string & text, const std::string & needle);

// The lines of `text`, split at line feeds (a trailing piece without one is kept).
std::vector<std::string> split_lines(const std::string & text);

// Appends what one read on `fd` yields; closes the descriptor (and sets it
// to -1) at its end or on a real error.
void drain_once(int & fd, std::string & into);

std::string read_file(const std::string & path);
void write_file(const std::string & path, const std::string & contents);

// The user a test runs a child as where the threat is another local user:
// "nobody", or its usual ids where the user database lacks it.
struct other_user_ids {
    uid_t uid;
    gid_t gid;
};
other_user_ids other_user();
// The ids of the user `name`, or `usual` where the user database lacks it.
other_user_ids named_user(const char * name, other_user_ids usual);

// A fresh directory "/tmp/<prefix>XXXXXX" of this process's own, since test
// cases run side by side; "" when none can be made.
std::string make_temp_dir(const std::string & prefix);
