#pragma once

#include <atomic>
#include <memory>

// true when the desktop application accepts a connection on its socket and
// then sends a byte or keeps it open for 10 ms; nothing is ever written on it.
bool is_socket_responding();

// Probes every 2 s while `running` holds; ends the process (status 0) at the
// first probe that is not answered.
void monitor_main_app(std::shared_ptr<std::atomic<bool>> running);
