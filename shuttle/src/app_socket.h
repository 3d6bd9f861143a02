#pragma once

#include "io.h"

#include <chrono>

// How often the watchdog probes the desktop application; also how long a
// relayed message may go without a byte taken, since the watchdog would call
// an application that silent gone.
constexpr auto k_watchdog_period = std::chrono::seconds(2);
constexpr auto k_message_stall_window = std::chrono::milliseconds(k_watchdog_period);

// A connect to the desktop application's socket, bounded by the time a probe
// waits for its answer, and refused (and logged) when the listener there runs
// as another user: the extension's messages are this user's alone.
IoStatus connect_to_app(int & fd);

// true when the desktop application accepts a connection on its socket and
// then sends a byte or keeps it open for 10 ms; nothing is ever written on it.
bool is_socket_responding();
