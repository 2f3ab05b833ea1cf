#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarnwick/host/Host.h"

namespace tarnwick::host {

// The console's part of each turn of the game loop. Game thread only.
class InputSide {
public:
    // Runs at most one console line, or the commands held for this turn.
    // Returns whether anything ran.
    virtual bool runLine() = 0;
    // Commands wait behind a `wait` or an `exec`.
    virtual bool holdsCommands() const = 0;
    // When a running `wait` ends; not in the future when none runs.
    virtual double waitEndsAt() const = 0;
    // postStop reached the game thread: the session ends now.
    virtual void stop() = 0;
    // postInterrupt reached the game thread; it dropped `droppedLines`
    // lines of input before they ran.
    virtual void interrupt(std::size_t droppedLines) = 0;

protected:
    ~InputSide() = default;
};

// The game thread's clock, its timers, the tasks for the next turn and the
// console input other threads post. One lock guards everything shared with
// other threads; the rest belongs to the game thread.
class GameLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Task = std::function<void()>;

    // Caps timer delays and waits (about 115 days) so every deadline stays
    // representable on the steady clock.
    static constexpr double longestDelay = 1e7;

    // `onTimerSet` runs under the lock as each timer is set, so what it
    // records comes in the order of the timers' due times.
    GameLoop(ClockMode clock, std::function<void(double delay)> onTimerSet);

    // Seconds since the loop started, on its clock. Any thread.
    double now() const;

    // Runs `task` `delaySeconds` from now (negative or NaN: now). `owner`
    // names whose timer it is, for dropTimers. Any thread.
    void setTimer(const void* owner, double delaySeconds, Task task);
    // Drops the pending timers of `owner`; their tasks are destroyed
    // outside the lock.
    void dropTimers(const void* owner);

    // Runs `task` at the start of the next turn. Game thread.
    void nextTurn(Task task);

    // Console input; nullopt ends the input. Any thread.
    void post(std::optional<std::string> line);
    // The next console line posted, if one waits: false when none does.
    bool takeInput(std::optional<std::string>& line);
    // The next turn ends the session. Any thread.
    void stop();
    // Drops the input lines posted and not yet run (not the end of the
    // input) and tells the next turn. Returns whether anything was running
    // or waiting to run. Any thread.
    bool interrupt();

    void runPending(InputSide& input);
    // Real time, or an instant step of the manual clock that fires every
    // timer falling due on the way, in order.
    void runFor(InputSide& input, double seconds);
    // Runs turns until `done` holds or the deadline passes; between turns it
    // sleeps until the next timer or the end of a wait is due, or until
    // another thread posts something.
    bool runUntil(InputSide& input, const std::function<bool()>& done, std::optional<Clock::time_point> deadline);

    static double sanitizedDelay(double seconds);
    static Clock::time_point deadlineIn(double seconds);

private:
    struct Timer {
        const void* owner;
        Task task;
    };

    // One turn: the timers that are due, then the tasks queued by the
    // previous turn, then at most one console line. Returns whether
    // anything ran.
    bool turn(InputSide& input);
    // The earliest due timer set before this turn began.
    std::optional<Timer> takeDueTimer(std::uint64_t setBefore);
    bool inputWaiting(const InputSide& input);
    Clock::time_point realTimeAt(double seconds) const;

    const ClockMode clockMode;
    const Clock::time_point start = Clock::now();
    std::atomic<double> manualNow{0.0};
    std::function<void(double delay)> onTimerSet;

    // Game thread only.
    std::vector<Task> nextTurnTasks;  // run on the next turn

    // Shared with other threads.
    std::mutex mutex;
    std::condition_variable wake;
    std::map<std::pair<double, std::uint64_t>, Timer> timers;  // by due time, then order set
    std::uint64_t nextTimerSequence = 0;
    std::deque<std::optional<std::string>> postedInput;  // nullopt: the input ended
    std::uint64_t generation = 0;                        // bumped by anything that may need the loop
    bool stopRequested = false;                          // stop()
    std::optional<std::size_t> droppedByInterrupt;       // interrupt(): input lines it dropped
    std::atomic<bool> busy{false};                       // a wait runs or commands are held (game thread writes)
};

}  // namespace tarnwick::host
