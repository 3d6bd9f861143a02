#pragma once

// The bridge takes no options: the desktop application and the browser find
// it, and it finds them, only through these fixed places.
constexpr const char * k_app_socket_path = "/tmp/lanternwick.sock";
constexpr const char * k_return_socket_path = "/tmp/lanternwick_return.sock";
constexpr const char * k_log_path = "/tmp/shuttle.log";
