// Writes the speech-model files that the tests, benchmarks and demos use.
//
//   make_test_model <kind> <path>   one file
//   make_test_model --all <dir>     every kind, as <dir>/<kind>.bin

#include "test_model.h"

#include <cstdio>
#include <string>

namespace {

void print_usage(const char * program) {
    std::fprintf(stderr, "usage: %s <kind> <path>\n       %s --all <dir>\nkinds:", program, program);
    for (const std::string & kind : test_model_kinds()) {
        std::fprintf(stderr, " %s", kind.c_str());
    }
    std::fprintf(stderr, "\n");
}

} // namespace

int main(int argc, char ** argv) {
    if (argc != 3) {
        print_usage(argv[0]);
        return 2;
    }
    const std::string first = argv[1];
    const std::string target = argv[2];
    const std::string error = first == "--all" ? write_all_test_models(target) : write_test_model(first, target);
    if (!error.empty()) {
        std::fprintf(stderr, "make_test_model: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
