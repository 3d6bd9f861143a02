// Figures for the bridge against the tests' fake desktop application: round
// trip of one frame to its acknowledgement, sustained messages per second in
// each direction, time to relay 1 MiB each way, the bridge's peak resident
// memory over the run, and, with a bridge of its own, its peak resident
// memory while it relays one large message.
//
//   shuttle_bench [--messages N] [--round-trips N] [--large-mib N]

#include "shuttle_peer.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

using namespace std::chrono_literals;
using bench_clock = std::chrono::steady_clock;

namespace {

double milliseconds(bench_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

void expect_frame(ExtensionSide & extension, std::chrono::milliseconds limit = 10s) {
    std::string text;
    if (!read_frame(extension, text, limit)) {
        throw std::runtime_error("no frame from the bridge");
    }
}

void measure_round_trips(ExtensionSide & extension, int count) {
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        auto start = bench_clock::now();
        write_to_child(extension.child, frame_of("{\"round_trip\":" + std::to_string(i) + "}"));
        expect_frame(extension);
        samples.push_back(milliseconds(bench_clock::now() - start));
    }
    std::printf("round trip, frame to acknowledgement (%d): median %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms\n",
                count, percentile(samples, 0.5), percentile(samples, 0.99), *std::min_element(samples.begin(), samples.end()),
                *std::max_element(samples.begin(), samples.end()));
}

void measure_extension_to_app(ExtensionSide & extension, FakeApp & app, int count) {
    size_t before = app_messages(app).size();
    auto start = bench_clock::now();
    // The extension writes ahead as a browser would; the bridge takes one per pass.
    std::thread writer([&] {
        for (int i = 0; i < count; ++i) {
            write_to_child(extension.child, frame_of("{\"n\":" + std::to_string(i) + "}"));
        }
    });
    for (int i = 0; i < count; ++i) {
        expect_frame(extension);
        if ((i + 1) % 1000 == 0) {
            std::fprintf(stderr, "  extension to app: %d of %d\n", i + 1, count);
        }
    }
    writer.join();
    double seconds = milliseconds(bench_clock::now() - start) / 1000;
    bool all_arrived = wait_for_app_messages(app, before + static_cast<size_t>(count), 5s);
    std::printf("extension to app, %d messages: %.1f s, %.2f messages/s%s\n", count, seconds, count / seconds,
                all_arrived ? "" : " (NOT ALL ARRIVED)");
}

void measure_app_to_extension(ExtensionSide & extension, int count) {
    auto start = bench_clock::now();
    std::thread pusher([&] {
        for (int i = 0; i < count; ++i) {
            push_text("{\"push\":" + std::to_string(i) + "}");
        }
    });
    for (int i = 0; i < count; ++i) {
        expect_frame(extension);
    }
    pusher.join();
    double seconds = milliseconds(bench_clock::now() - start) / 1000;
    std::printf("app to extension, %d messages: %.2f s, %.0f messages/s\n", count, seconds, count / seconds);
}

void measure_large_messages(ExtensionSide & extension, FakeApp & app) {
    std::string body = json_body(1u << 20);
    size_t before = app_messages(app).size();
    auto start = bench_clock::now();
    write_to_child(extension.child, frame_of(body));
    if (!wait_for_app_messages(app, before + 1, 10s)) {
        throw std::runtime_error("1 MiB message did not reach the application");
    }
    auto at_app = bench_clock::now();
    expect_frame(extension);
    std::printf("1 MiB extension to app: %.1f ms to the application, %.1f ms to the acknowledgement\n",
                milliseconds(at_app - start), milliseconds(bench_clock::now() - start));

    start = bench_clock::now();
    std::thread pusher([&] { push_text(body); });
    std::string text;
    bool got = read_frame(extension, text, 10s);
    pusher.join();
    std::printf("1 MiB app to extension: %.1f ms%s\n", milliseconds(bench_clock::now() - start),
                got && text == body ? "" : " (WRONG OR MISSING)");
}

// The largest peak that any child reached, reaped ones only.
long largest_child_peak_kib() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
#ifdef __APPLE__
    return usage.ru_maxrss / 1024;
#else
    return usage.ru_maxrss;
#endif
}

struct Peak {
    double mebibytes;
    const char * caveat;
};

// Ends the bridge (taking the application away ends it through its
// watchdog) and tells its peak resident memory, read while it still runs.
// Without /proc only the largest peak of any bridge of the bench is had.
Peak end_bridge(FakeApp & app, ExtensionSide & extension) {
    long kib = proc_peak_resident_kib(extension.child.pid);
    stop_fake_app(app);
    finish_process(extension.child, 10s);
    if (kib >= 0) {
        return Peak{static_cast<double>(kib) / 1024, ""};
    }
    return Peak{static_cast<double>(largest_child_peak_kib()) / 1024, " (largest of any bridge so far)"};
}

void measure_large_message_memory(int mebibytes) {
    remove_bridge_files();
    std::unique_ptr<FakeApp> app = start_fake_app();
    ExtensionSide extension = start_bridge();
    std::string body = json_body(static_cast<size_t>(mebibytes) << 20);
    auto start = bench_clock::now();
    bool acknowledged = write_to_child(extension.child, frame_of(body));
    std::string text;
    acknowledged = acknowledged && read_frame(extension, text, 60s);
    double elapsed = milliseconds(bench_clock::now() - start);
    bool arrived = wait_for_app_messages(*app, 1, 10s) && app_messages(*app).at(0) == body;
    Peak peak = end_bridge(*app, extension);
    std::printf("%d MiB extension to app: %.1f ms to the acknowledgement, bridge peak resident memory %.1f MiB "
                "(%.2fx the message)%s%s\n",
                mebibytes, elapsed, peak.mebibytes, peak.mebibytes / mebibytes, peak.caveat,
                acknowledged && arrived ? "" : " (NOT RELAYED WHOLE)");
}

int option(int argc, char ** argv, const char * name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return std::atoi(argv[i + 1]);
        }
    }
    return fallback;
}

} // namespace

int main(int argc, char ** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int messages = option(argc, argv, "--messages", 10000);
    int round_trips = option(argc, argv, "--round-trips", 200);
    int large_mib = std::max(1, option(argc, argv, "--large-mib", 64));
    BridgePathsLock paths_lock;
    remove_bridge_files();
    std::unique_ptr<FakeApp> app = start_fake_app();
    ExtensionSide extension = start_bridge();
    try {
        measure_app_to_extension(extension, messages);
        measure_round_trips(extension, round_trips);
        measure_large_messages(extension, *app);
        std::fprintf(stderr, "  extension to app at about 10 a second: %d messages take about %d s\n", messages,
                     messages / 10);
        measure_extension_to_app(extension, *app, messages);
    } catch (const std::exception & failure) {
        std::fprintf(stderr, "shuttle_bench: %s\n", failure.what());
    }
    Peak peak = end_bridge(*app, extension);
    std::printf("bridge peak resident memory: %.1f MiB%s\n", peak.mebibytes, peak.caveat);
    try {
        measure_large_message_memory(large_mib);
    } catch (const std::exception & failure) {
        std::fprintf(stderr, "shuttle_bench: %s\n", failure.what());
    }
    remove_bridge_files();
}
