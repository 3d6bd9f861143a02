// How long the transcriber's model-file check takes before every load.
//
//   model_header_bench [model ...]
//
// Times the check on each model given and on a sparse file laid out like the
// largest models (about 3 GB in some 1,300 tensors, the data left as holes),
// so the figure shows the cost of the walk itself: the vocabulary read
// through the stream and one seek per tensor. From a cold disk each tensor
// record costs one more small read.

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "model_header.h"
#include "process.h"

namespace {

constexpr int k_runs = 20;

// The largest model's shape: its vocabulary and mel bands, and as many
// tensors of its width as its 32 + 32 layers hold.
constexpr int32_t k_tokens = 51866;
constexpr int32_t k_mel_bands = 128;
constexpr int32_t k_fft_bins = 201;
constexpr int32_t k_tensors = 1259;
constexpr int32_t k_width = 1280;
constexpr int32_t k_rows = 960;
constexpr int32_t k_f16 = 1;

void put_i32(FILE * file, int32_t value) {
    const uint32_t bits = static_cast<uint32_t>(value);
    const unsigned char bytes[4] = {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
                                    static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
    std::fwrite(bytes, 1, sizeof bytes, file);
}

void put_text(FILE * file, const std::string & text) {
    std::fwrite(text.data(), 1, text.size(), file);
}

// Seeks over `bytes`, leaving a hole, and returns the place reached.
off_t skip_over(FILE * file, off_t bytes) {
    const off_t end = ftello(file) + bytes;
    fseeko(file, end, SEEK_SET);
    return end;
}

bool write_sparse_large_model(const std::string & path) {
    FILE * file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    put_i32(file, 0x67676d6c);
    for (int32_t field : {k_tokens, 1500, k_width, 20, 32, 448, k_width, 20, 32, k_mel_bands, k_f16}) {
        put_i32(file, field);
    }
    put_i32(file, k_mel_bands);
    put_i32(file, k_fft_bins);
    skip_over(file, off_t(k_mel_bands) * k_fft_bins * 4);
    put_i32(file, k_tokens);
    for (int32_t token = 0; token < k_tokens; ++token) {
        const std::string text = " token" + std::to_string(token);
        put_i32(file, int32_t(text.size()));
        put_text(file, text);
    }
    off_t end = 0;
    for (int32_t tensor = 0; tensor < k_tensors; ++tensor) {
        const std::string name = "decoder.blocks." + std::to_string(tensor) + ".mlp.0.weight";
        for (int32_t field : {2, int32_t(name.size()), k_f16, k_width, k_rows}) {
            put_i32(file, field);
        }
        put_text(file, name);
        end = skip_over(file, off_t(k_width) * k_rows * 2);
    }
    const bool written = std::ferror(file) == 0 && std::fflush(file) == 0 && ftruncate(fileno(file), end) == 0;
    return std::fclose(file) == 0 && written;
}

void time_check(const std::string & path) {
    std::vector<double> ms;
    bool complete = false;
    for (int run = 0; run < k_runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        complete = read_model_layout(path).state == model_file_state::complete;
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-60s %-20s median %8.3f ms  slowest %8.3f ms  (%d runs)\n", path.c_str(),
                complete ? "complete" : "not judged complete", ms[ms.size() / 2], ms.back(), k_runs);
}

} // namespace

int main(int argc, char ** argv) {
    for (int i = 1; i < argc; ++i) {
        time_check(argv[i]);
    }
    const std::string dir = make_temp_dir("lanternwick_model_bench_");
    if (dir.empty()) {
        std::fprintf(stderr, "model_header_bench: cannot make a temporary directory\n");
        return 1;
    }
    const std::string large = dir + "/sparse-large.bin";
    if (!write_sparse_large_model(large)) {
        std::fprintf(stderr, "model_header_bench: cannot write '%s'\n", large.c_str());
        return 1;
    }
    time_check(large);
    unlink(large.c_str());
    rmdir(dir.c_str());
    return 0;
}
