#pragma once

#include "channel.h"
#include "io.h"

#include <atomic>
#include <memory>
#include <string>

// Reads one pushed text: every byte up to the end of the connection, which
// must form valid UTF-8. The connection is read in blocking mode with a
// receive time-out, so a text the application is still writing is waited for
// instead of being dropped as would-block.
IoStatus read_return_message(int connection_fd, std::string & text);

// Body of the return-listener thread: serves the return socket and queues
// each pushed text for the main thread. Closing the sender on the way out
// tells the main thread that no more can come.
void start_return_message_listener(std::shared_ptr<ReturnMessageChannel> sender,
                                   std::shared_ptr<std::atomic<bool>> running);
