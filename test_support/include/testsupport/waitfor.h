#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

/// Polls cond until it holds or ms milliseconds have passed; whether it came to hold. For tests
/// that wait on another process or thread without an event loop of their own to run.
inline bool WaitFor(const std::function<bool()> &cond, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace testsupport
