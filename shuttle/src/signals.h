#pragma once

// SIGTERM, SIGINT and SIGHUP are blocked in the calling thread, and so in
// every thread it starts afterwards: they then reach only the thread that
// waits for them, never one in the middle of a message.
void block_terminating_signals();

// Thread body: waits for one of those signals and ends the bridge as any
// other orderly end does, its return socket deleted when still its own.
[[noreturn]] void end_on_terminating_signal();
