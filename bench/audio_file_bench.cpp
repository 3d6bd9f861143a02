// What decoding an audio file costs: ten minutes of 44.1 kHz stereo audio
// decoded to 16 kHz mono by read_audio_data from WAV, FLAC, MP3 and Ogg
// Vorbis, each decode in a fresh process, side by side with sox converting
// the same file to 16 kHz mono raw (the tool a user would reach for):
// seconds and peak resident memory of each, and their ratios. Then the
// high-pass filter's and the voice-activity test's throughput.
//
//   audio_file_bench [--minutes N] [--runs N]
//
// The source audio is made with sox once per build tree. A decode runs this
// program again as `audio_file_bench --decode FILE`, so its peak memory is
// its own and not this process's.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio_file.h"
#include "audio_filters.h"
#include "shell_quote.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct run_cost {
    double seconds;
    double peak_mib;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double peak_mib(const rusage & usage) {
#ifdef __APPLE__
    return static_cast<double>(usage.ru_maxrss) / (1024.0 * 1024.0);  // bytes
#else
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB
#endif
}

// Runs `argv` (looked up on the PATH) with its output thrown away; exits the
// benchmark when it fails, since its figures would mean nothing.
run_cost run_measured(const std::vector<std::string> & argv) {
    std::vector<char *> args;
    for (const std::string & a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    const auto start = clock_type::now();
    const pid_t pid = fork();
    if (pid < 0) {
        perror("audio_file_bench: fork");
        std::exit(1);
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "audio_file_bench: '%s %s' failed\n", argv[0].c_str(), argv.back().c_str());
        std::exit(1);
    }
    return {seconds, peak_mib(usage)};
}

bool run_quietly(const std::string & command) { return std::system((command + " > /dev/null 2>&1").c_str()) == 0; }

// Left a rising tone, right pink noise: something tonal and something that
// compresses badly.
std::string make_source(double minutes, const std::string & extension) {
    const std::string dir = BENCH_AUDIO_DIR;
    mkdir(dir.c_str(), 0755);
    const std::string base = dir + "/source_" + std::to_string(static_cast<int>(minutes * 60)) + "s";
    const std::string wav = base + ".wav";
    const std::string path = base + "." + extension;
    if (access(wav.c_str(), R_OK) != 0 &&
        !run_quietly("sox -n -r 44100 -c 2 -b 16 " + shell_single_quoted(wav) + " synth " + std::to_string(minutes * 60) +
                     " sine 300-3000 pinknoise gain -6")) {
        fprintf(stderr, "audio_file_bench: sox is needed to make the audio\n");
        std::exit(1);
    }
    if (access(path.c_str(), R_OK) != 0 && !run_quietly("sox " + shell_single_quoted(wav) + " " + shell_single_quoted(path))) {
        fprintf(stderr, "audio_file_bench: sox cannot write %s (MP3 needs libsox-fmt-mp3)\n", extension.c_str());
        std::exit(1);
    }
    return path;
}

void compare_decoders(const std::string & self, double minutes, int runs) {
    printf("decoding %.0f minutes of 44.1 kHz stereo to 16 kHz mono, median of %d runs\n", minutes, runs);
    printf("%-6s %9s | %12s %12s | %12s %12s | %8s %8s\n", "format", "file MiB", "reader s", "reader MiB",
           "sox s", "sox MiB", "s ratio", "MiB ratio");
    for (const char * extension : {"wav", "flac", "mp3", "ogg"}) {
        const std::string path = make_source(minutes, extension);
        struct stat info{};
        stat(path.c_str(), &info);
        std::vector<double> reader_s, reader_mib, sox_s, sox_mib;
        // Taken in turn, so a drift in the machine's speed touches both.
        for (int i = 0; i < runs; ++i) {
            const run_cost reader = run_measured({self, "--decode", path});
            const run_cost sox = run_measured(
                {"sox", path, "-t", "raw", "-e", "floating-point", "-b", "32", "-r", "16000", "-c", "1", "/dev/null"});
            reader_s.push_back(reader.seconds);
            reader_mib.push_back(reader.peak_mib);
            sox_s.push_back(sox.seconds);
            sox_mib.push_back(sox.peak_mib);
        }
        printf("%-6s %9.1f | %12.3f %12.1f | %12.3f %12.1f | %8.2f %8.2f\n", extension,
               static_cast<double>(info.st_size) / (1024.0 * 1024.0), median(reader_s), median(reader_mib),
               median(sox_s), median(sox_mib), median(reader_s) / median(sox_s),
               median(reader_mib) / median(sox_mib));
    }
}

// Samples per second of `process` over the whole buffer, best of `runs`
// passes on fresh copies (the filter works in place).
template <typename Process>
double throughput(const std::vector<float> & samples, int runs, Process process) {
    double best = 0;
    for (int i = 0; i < runs; ++i) {
        std::vector<float> copy = samples;
        const auto start = clock_type::now();
        process(copy);
        const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        best = std::max(best, static_cast<double>(copy.size()) / seconds);
    }
    return best;
}

void measure_filters(double minutes, int runs) {
    std::vector<float> samples;
    std::vector<std::vector<float>> channel_audio;
    if (!read_audio_data(make_source(minutes, "wav"), samples, channel_audio, false)) {
        std::exit(1);
    }
    int quiet = 0;
    const double filter = throughput(samples, runs, [](std::vector<float> & s) { high_pass_filter(s, 100, 16000); });
    const double vad = throughput(samples, runs, [&](std::vector<float> & s) {
        quiet += vad_simple(s, 16000, 1000, 0.6f, 0, false);
    });
    const double vad_filtered = throughput(samples, runs, [&](std::vector<float> & s) {
        quiet += vad_simple(s, 16000, 1000, 0.6f, 100, false);
    });
    printf("\n%zu samples at 16 kHz, best of %d passes (%d quiet)\n", samples.size(), runs, quiet);
    printf("high_pass_filter (100 Hz)          %8.1f M samples/s\n", filter / 1e6);
    printf("vad_simple (1 s window)            %8.1f M samples/s\n", vad / 1e6);
    printf("vad_simple (1 s window, 100 Hz)    %8.1f M samples/s\n", vad_filtered / 1e6);
}

int decode_once(const char * path) {
    std::vector<float> samples;
    std::vector<std::vector<float>> channel_audio;
    if (!read_audio_data(path, samples, channel_audio, false)) {
        return 1;
    }
    printf("%zu\n", samples.size());
    return 0;
}

} // namespace

int main(int argc, char ** argv) {
    if (argc == 3 && std::string(argv[1]) == "--decode") {
        return decode_once(argv[2]);
    }
    double minutes = 10;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--minutes") {
            minutes = std::atof(argv[i + 1]);
        } else if (option == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else {
            fprintf(stderr, "usage: %s [--minutes N] [--runs N]\n", argv[0]);
            return 2;
        }
    }
    compare_decoders(argv[0], minutes, runs);
    measure_filters(minutes, 5);
    return 0;
}
