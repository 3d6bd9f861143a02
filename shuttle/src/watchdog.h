#pragma once

#include <atomic>
#include <memory>

// Probes every 2 s while `running` holds; ends the process (status 0) at the
// first probe that is not answered.
void monitor_main_app(std::shared_ptr<std::atomic<bool>> running);
