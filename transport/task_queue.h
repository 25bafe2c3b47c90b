// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <functional>

namespace vemdo {

// A serial queue that runs posted work in order on its own thread (the main thread, or the transport
// thread). post() may be called from any thread.
class TaskQueue {
public:
    virtual ~TaskQueue() = default;
    virtual void post(std::function<void()> task) = 0;
    virtual void postDelayed(std::chrono::milliseconds delay, std::function<void()> task) = 0;
};

} // namespace vemdo
