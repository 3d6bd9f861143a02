#include "signals.h"

#include "log.h"
#include "process_end.h"

#include <pthread.h>
#include <signal.h>

#include <string>

namespace {

sigset_t terminating_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&signals, signal_number);
    }
    return signals;
}

} // namespace

void block_terminating_signals() {
    sigset_t signals = terminating_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void end_on_terminating_signal() {
    sigset_t signals = terminating_signals();
    int signal_number = 0;
    while (sigwait(&signals, &signal_number) != 0) {
    }
    end_orderly("Shuttle exiting on signal " + std::to_string(signal_number));
}
