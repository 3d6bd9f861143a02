// Plays a long spoken stream into lanternwick-quill at real-time pace, the way
// the desktop application does, and prints what it costs: transcription time
// per cycle against the open chunk's length, the lag from the end of a burst
// of speech to the silence line that closes its chunk, CPU time per second of
// audio, and peak resident memory over the run.
//
//   quill_stream_bench [--minutes N] [--model PATH]

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "process.h"
#include "quill_session.h"
#include "speech.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr size_t k_bytes_per_second = 2 * k_sample_rate;

const char * const k_sentences[] = {
    "The quick brown fox jumps over the lazy dog",
    "Every line of the stream is a small object",
    "Silence closes the open chunk of audio",
    "A lantern burns all night beside the window",
    "Seven ships sailed north across the grey water",
    "Please write the numbers down before the meeting starts",
    "The library opens at nine and closes at six",
    "Bring the red folder and the long blue pencil",
    "Rain fell softly on the roofs of the old town",
    "Nobody expected the train to arrive so early today",
};

struct timed_line {
    double at;  // seconds since the first write
    std::string text;
};

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The sentence without espeak-ng's quiet lead-in and tail, so that a burst
// made of several sentences holds no pause of its own.
std::vector<int16_t> spoken(size_t index) {
    const std::string dir = BENCH_AUDIO_DIR;
    mkdir(dir.c_str(), 0755);
    const std::string base = dir + "/sentence" + std::to_string(index);
    if (!make_spoken_raw(k_sentences[index], base + ".raw")) {
        fprintf(stderr, "quill_stream_bench: espeak-ng and sox are needed to make speech\n");
        std::exit(1);
    }
    std::vector<int16_t> s = read_pcm16_file(base + ".raw");
    const auto loud = [](int16_t v) { return std::abs(v) > 300; };
    const auto first = std::find_if(s.begin(), s.end(), loud);
    const auto last = std::find_if(s.rbegin(), s.rend(), loud).base();
    return first < last ? std::vector<int16_t>(first, last) : s;
}

struct stream_plan {
    std::vector<int16_t> audio;
    std::vector<size_t> burst_ends;  // sample index just after each burst
};

// Bursts of 2-8 s of speech, each followed by 0.5-1.5 s of silence.
stream_plan plan_stream(double minutes) {
    std::vector<std::vector<int16_t>> sentences;
    for (size_t i = 0; i < std::size(k_sentences); ++i) {
        sentences.push_back(spoken(i));
    }
    std::mt19937 random(20261210);
    std::uniform_real_distribution<double> burst_seconds(2.0, 8.0);
    std::uniform_real_distribution<double> pause_seconds(0.5, 1.5);
    std::uniform_int_distribution<size_t> pick(0, sentences.size() - 1);
    stream_plan plan;
    const size_t total = static_cast<size_t>(minutes * 60 * k_sample_rate);
    while (plan.audio.size() < total) {
        const size_t burst = static_cast<size_t>(burst_seconds(random) * k_sample_rate);
        const size_t begin = plan.audio.size();
        while (plan.audio.size() - begin < burst) {
            const std::vector<int16_t> & s = sentences[pick(random)];
            plan.audio.insert(plan.audio.end(), s.begin(), s.end());
        }
        plan.audio.resize(begin + burst);
        plan.burst_ends.push_back(plan.audio.size());
        plan.audio.resize(plan.audio.size() + static_cast<size_t>(pause_seconds(random) * k_sample_rate), 0);
    }
    return plan;
}

// Peak resident set in KiB so far, where the platform tells it.
long peak_rss_kib(pid_t pid) {
    const long peak = proc_peak_resident_kib(pid);
    if (peak >= 0) {
        return peak;
    }
    // Without /proc (macOS) the current size is what can be had.
    FILE * ps = popen(("ps -o rss= -p " + std::to_string(pid)).c_str(), "r");
    long rss = -1;
    if (ps != nullptr) {
        if (fscanf(ps, "%ld", &rss) != 1) {
            rss = -1;
        }
        pclose(ps);
    }
    return rss;
}

// The whole lines of one of the program's outputs, each stamped with when it
// arrived.
struct line_reader {
    size_t taken = 0;  // bytes of the output already cut into lines
    std::vector<timed_line> lines;
};

void take_lines(line_reader & r, const std::string & output, double at) {
    for (size_t end; (end = output.find('\n', r.taken)) != std::string::npos; r.taken = end + 1) {
        r.lines.push_back({at, output.substr(r.taken, end - r.taken)});
    }
}

struct transcription_cost {
    long samples;
    double seconds;
};

// A transcription begins with its processing line on stderr and ends with the
// last stdout line before the next one begins.
std::vector<transcription_cost> transcription_costs(const std::vector<timed_line> & err,
                                                    const std::vector<timed_line> & out) {
    static const std::regex k_processing("processing '[^']*' \\(([0-9]+) samples");
    std::vector<std::pair<double, long>> starts;
    for (const timed_line & l : err) {
        std::smatch m;
        if (std::regex_search(l.text, m, k_processing)) {
            starts.push_back({l.at, std::stol(m[1])});
        }
    }
    std::vector<transcription_cost> costs;
    size_t o = 0;
    for (size_t i = 0; i < starts.size(); ++i) {
        const double next = i + 1 < starts.size() ? starts[i + 1].first : 1e30;
        double last = -1;
        for (; o < out.size() && out[o].at <= next; ++o) {
            if (out[o].at >= starts[i].first) {
                last = out[o].at;
            }
        }
        if (last >= 0) {
            costs.push_back({starts[i].second, last - starts[i].first});
        }
    }
    return costs;
}

void print_costs(const std::vector<transcription_cost> & costs) {
    const double edges[] = {0, 2, 3, 4, 5, 6, 8, 10, 15, 1e9};
    printf("transcription time per cycle against pending-chunk length\n");
    printf("  pending audio    cycles    mean ms     max ms\n");
    for (size_t b = 0; b + 1 < std::size(edges); ++b) {
        double sum = 0, max = 0;
        int n = 0;
        for (const auto & c : costs) {
            const double s = static_cast<double>(c.samples) / k_sample_rate;
            if (s >= edges[b] && s < edges[b + 1]) {
                sum += c.seconds;
                max = std::max(max, c.seconds);
                ++n;
            }
        }
        if (n > 0) {
            const std::string range = edges[b + 1] > 1e8 ? std::to_string(static_cast<int>(edges[b])) + "+ s"
                                                          : std::to_string(static_cast<int>(edges[b])) + "-" +
                                                                std::to_string(static_cast<int>(edges[b + 1])) + " s";
            printf("  %-12s %9d %10.0f %10.0f\n", range.c_str(), n, 1000 * sum / n, 1000 * max);
        }
    }
}

// The chunk a silence line closes ends where the next chunk starts (the
// start of its first segment, in stream milliseconds); its burst is the last
// one to end before that.
void print_lags(const std::vector<timed_line> & out, const stream_plan & plan, const std::vector<double> & written_at) {
    static const std::regex k_segment("\"segment\": \"([0-9]+)\\.1\", \"start\": \"([0-9]+)\"");
    std::map<int, long long> chunk_start_ms;
    std::map<int, double> first_silence_at;
    int chunk = 0;
    for (const timed_line & l : out) {
        std::smatch m;
        if (std::regex_search(l.text, m, k_segment)) {
            chunk = std::stoi(m[1]);
            chunk_start_ms.emplace(chunk, std::stoll(m[2]));
        } else if (l.text.find("Silence detected") != std::string::npos) {
            first_silence_at.emplace(chunk, l.at);
        }
    }
    std::vector<double> lags;
    size_t closed = 0;
    for (const auto & [c, at] : first_silence_at) {
        const auto next = chunk_start_ms.find(c + 1);
        if (next == chunk_start_ms.end()) {
            continue;
        }
        const size_t cut = static_cast<size_t>(next->second) * k_sample_rate / 1000;
        const auto after = std::upper_bound(plan.burst_ends.begin(), plan.burst_ends.end(), cut);
        if (after == plan.burst_ends.begin()) {
            continue;
        }
        const size_t burst_end = *(after - 1);
        lags.push_back(at - written_at[(burst_end * 2 - 1) / (k_bytes_per_second / 10)]);
        ++closed;
    }
    std::sort(lags.begin(), lags.end());
    printf("\nlag from the end of a burst to the silence line that closes its chunk\n");
    printf("  chunks closed: %zu for %zu bursts (a pause with no silent window in it joins two bursts)\n", closed,
           plan.burst_ends.size());
    if (!lags.empty()) {
        double sum = 0;
        for (double l : lags) {
            sum += l;
        }
        printf("  mean %.0f ms, median %.0f ms, 90th percentile %.0f ms, max %.0f ms\n", 1000 * sum / lags.size(),
               1000 * lags[lags.size() / 2], 1000 * lags[lags.size() * 9 / 10], 1000 * lags.back());
    }
}

} // namespace

int main(int argc, char ** argv) {
    double minutes = 10;
    std::string model = test_model("tiny.bin");
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--minutes") {
            minutes = std::atof(argv[i + 1]);
        } else if (option == "--model") {
            model = argv[i + 1];
        }
    }
    if (access(model.c_str(), R_OK) != 0 &&
        run_process({MAKE_TEST_MODEL_BINARY, "tiny", model}, "", std::chrono::minutes(2)).exit_status != 0) {
        fprintf(stderr, "quill_stream_bench: cannot make %s\n", model.c_str());
        return 1;
    }

    const stream_plan plan = plan_stream(minutes);
    const std::string bytes = pcm16_bytes(plan.audio);
    printf("quill_stream_bench: %s, %.1f min of audio, %zu bursts of 2-8 s speech with 0.5-1.5 s pauses\n\n",
           model.c_str(), static_cast<double>(plan.audio.size()) / k_sample_rate / 60, plan.burst_ends.size());
    fflush(stdout);

    quill_session s = start_quill({"-m", model, "-t", "4", "-"});
    line_reader out, err;
    const clock_type::time_point start = clock_type::now();
    s.after_read = [&] {
        const double at = seconds_since(start);
        take_lines(out, s.out, at);
        take_lines(err, s.err, at);
    };
    std::vector<double> written_at;  // per write of 100 ms
    std::map<int, long> peak_at_minute;
    s.after_write = [&](size_t done) {
        written_at.push_back(seconds_since(start));
        const int minute = static_cast<int>(done / k_bytes_per_second / 60);
        if (done % (k_bytes_per_second * 60) == 0 && (minute == 1 || minute == 5 || minute == 10)) {
            peak_at_minute[minute] = peak_rss_kib(s.child.pid);
        }
    };
    feed(s, bytes, pace::real_time, k_bytes_per_second);
    const long peak_before_close = peak_rss_kib(s.child.pid);
    close_child_stdin(s.child);
    pump(s, clock_type::now() + std::chrono::minutes(5));

    // Reaped here rather than by finish_quill: the CPU time comes with it.
    int status = 0;
    rusage usage{};
    wait4(s.child.pid, &status, 0, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                       usage.ru_stime.tv_usec / 1e6;
    const double audio_seconds = static_cast<double>(plan.audio.size()) / k_sample_rate;

    print_costs(transcription_costs(err.lines, out.lines));
    print_lags(out.lines, plan, written_at);
    printf("\nCPU seconds per audio second: %.3f (%.1f s of CPU for %.1f s of audio, exit status %d)\n",
           cpu / audio_seconds, cpu, audio_seconds, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    printf("peak resident memory:");
    for (const auto & [minute, kib] : peak_at_minute) {
        printf(" %d min %.1f MiB,", minute, kib / 1024.0);
    }
    printf(" end of stream %.1f MiB\n", peak_before_close / 1024.0);
    return 0;
}
