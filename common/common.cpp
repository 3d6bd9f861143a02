#include "common.h"

#include <algorithm>
#include <fstream>

bool is_file_exist(const char * path) {
    std::ifstream file(path);
    return file.good();
}

namespace {

const int k_cube_levels[6] = {0, 95, 135, 175, 215, 255};

int cube_level(int v) {
    if (v < 48) {
        return 0;
    }
    if (v < 115) {
        return 1;
    }
    return (v - 35) / 40;
}

int square(int v) { return v * v; }

// Out-of-range channels would index past the cube levels.
int clamp_channel(int v) { return std::min(255, std::max(0, v)); }

} // namespace

std::string set_xterm256_foreground(int r, int g, int b) {
    r = clamp_channel(r);
    g = clamp_channel(g);
    b = clamp_channel(b);
    const int gray = static_cast<int>(0.587 * g + 0.299 * r + 0.114 * b + 0.5);
    const int gray_step = gray > 238 ? 23 : (gray - 3) / 10;
    const int gray_value = 10 * gray_step + 8;

    const int lr = cube_level(r);
    const int lg = cube_level(g);
    const int lb = cube_level(b);
    const int cube_error =
        square(k_cube_levels[lr] - r) + square(k_cube_levels[lg] - g) + square(k_cube_levels[lb] - b);
    const int gray_error = square(gray_value - r) + square(gray_value - g) + square(gray_value - b);

    // A tie goes to the cube, whose colours render the same on more terminals.
    const int index = cube_error <= gray_error ? 16 + 36 * lr + 6 * lg + lb : 232 + gray_step;
    return "\033[38;5;" + std::to_string(index) + "m";
}

const std::vector<std::string> k_colors = {
    set_xterm256_foreground(220, 5, 12),    set_xterm256_foreground(232, 96, 28),
    set_xterm256_foreground(241, 147, 45),  set_xterm256_foreground(246, 193, 65),
    set_xterm256_foreground(247, 240, 86),  set_xterm256_foreground(144, 201, 135),
    set_xterm256_foreground(78, 178, 101),
};
