// The one wait of the tests: for a condition, with a generous deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarnwick::testsupport {

// Wakes waiters when something they may be waiting for has changed.
struct Signal {
    std::mutex mutex;
    std::condition_variable changed;
};

inline constexpr std::chrono::seconds defaultDeadline{10};

// Waits until `condition` holds (checked under the signal's mutex, on every
// notification and at least every 10 ms) or the deadline passes. Returns
// whether the condition held.
template <class Condition>
bool waitUntil(Signal& signal, Condition condition, std::chrono::milliseconds deadline = defaultDeadline)
{
    const auto giveUp = std::chrono::steady_clock::now() + deadline;
    std::unique_lock lock(signal.mutex);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= giveUp) return false;
        signal.changed.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
}

// The same for a condition nothing announces (a file, another process).
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds deadline = defaultDeadline)
{
    Signal unannounced;
    return waitUntil(unannounced, condition, deadline);
}

}  // namespace tarnwick::testsupport
