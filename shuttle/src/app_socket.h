#pragma once

#include "io.h"

#include <chrono>

// How often the watchdog probes the desktop application, each time on a
// connection of its own. The probe sees only that the application still
// accepts, not that it reads what the relay writes, so a relayed message
// that goes as long without a byte taken counts the application as gone:
// one stuck mid-message is given up on as soon as one that has quit. So an
// application must read at least about 2 KB/s, one of write_all's pieces
// per window, for a message to go through whole.
constexpr auto k_watchdog_period = std::chrono::seconds(2);
constexpr auto k_message_stall_window = std::chrono::milliseconds(k_watchdog_period);

// A connect to the desktop application's socket, bounded by the time a probe
// waits for its answer, and refused (and logged) when the listener there runs
// as another user: the extension's messages are this user's alone.
IoStatus connect_to_app(int & fd);

// true when the desktop application accepts a connection on its socket and
// then sends a byte or keeps it open for 10 ms; nothing is ever written on it.
bool is_socket_responding();
