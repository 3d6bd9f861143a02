#pragma once

// Every thread may end the whole process at any moment; nothing is left to
// flush (frames go straight to the descriptor), so the end is immediate.
[[noreturn]] void end_process(int status);

// The failures the bridge cannot carry on from: message and description on
// standard error, status 101.
[[noreturn]] void end_with_fatal_error(const char * message, const char * description);

// Deletes the return socket file; a missing file is no error worth telling.
void cleanup_return_socket();

// The desktop application did not answer at start-up: both socket files go,
// status 1.
[[noreturn]] void cleanup_and_exit();
