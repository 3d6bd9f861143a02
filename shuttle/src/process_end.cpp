#include "process_end.h"

#include "paths.h"

#include <unistd.h>

#include <cstdio>

void end_process(int status) { _exit(status); }

void end_with_fatal_error(const char * message, const char * description) {
    std::fprintf(stderr, "%s: %s\n", message, description);
    end_process(101);
}

void cleanup_return_socket() { unlink(k_return_socket_path); }

void cleanup_and_exit() {
    unlink(k_app_socket_path);
    cleanup_return_socket();
    end_process(1);
}
