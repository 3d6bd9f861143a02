#include "relay.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

TEST(CleanExit, LogsItsLineWhileTheWorkerThreadsStillRun) {
    std::atomic<bool> running{true};
    // Each line with what a worker thread would have read from `running` as it went in.
    std::vector<std::pair<std::string, bool>> lines;
    wind_down_cleanly(running, [&](std::string_view line) {
        lines.emplace_back(std::string(line), running.load(std::memory_order_relaxed));
    });
    EXPECT_EQ((std::vector<std::pair<std::string, bool>>{{"Shuttle exiting cleanly", true}}), lines);
    EXPECT_FALSE(running.load(std::memory_order_relaxed));
}
