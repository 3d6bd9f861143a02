#pragma once

#include "channel.h"
#include "io.h"

#include <atomic>
#include <memory>
#include <string>

// The largest message the browser takes from its host; a larger one would
// make it close the port and end the session for every later message.
constexpr size_t k_max_extension_message = 1048576;

// Reads one pushed text: every byte up to the end of the connection, which
// must form valid UTF-8. A text the application is still writing is waited
// for, but one connection gets 1 s in all, so a slow pusher cannot hold up
// the others; a connection that cannot be read without blocking is not read.
// `length` is the text's full size; only texts within
// k_max_extension_message are kept and checked.
IoStatus read_return_message(int connection_fd, std::string & text, size_t & length);

// Body of the return-listener thread: serves the return socket and queues
// each pushed text for the main thread. Closing the sender on the way out
// tells the main thread that no more can come.
void start_return_message_listener(std::shared_ptr<ReturnMessageChannel> sender,
                                   std::shared_ptr<std::atomic<bool>> running);
