#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "process.h"

// A test case with a fresh temporary directory of its own (cases run side by
// side), removed with everything in it afterwards.
class temp_dir_test : public testing::Test {
protected:
    void SetUp() override {
        dir = make_temp_dir("lanternwick_test_");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // Writes `contents` to `name` in the directory and returns its path.
    std::string file_with(const std::string & name, const std::string & contents) const {
        const std::string path = dir + "/" + name;
        write_file(path, contents);
        return path;
    }

    std::string dir;
};
