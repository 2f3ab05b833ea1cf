#include "GameLoop.h"

#include <algorithm>

namespace tarnwick::host {
namespace {

// runPending stops after this many turns, so a timer that keeps re-arming
// itself with no delay cannot hang the caller.
constexpr int maxPendingTurns = 10000;

}  // namespace

GameLoop::GameLoop(ClockMode clock, std::function<void(double delay)> onTimerSet)
    : clockMode_(clock), onTimerSet_(std::move(onTimerSet))
{
}

double GameLoop::now() const
{
    if (clockMode_ == ClockMode::manual) return manualNow_.load();
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

GameLoop::Clock::time_point GameLoop::realTimeAt(double seconds) const
{
    return start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double GameLoop::sanitizedDelay(double seconds)
{
    if (!(seconds >= 0)) return 0;  // negative or NaN
    return std::min(seconds, longestDelay);
}

GameLoop::Clock::time_point GameLoop::deadlineIn(double seconds)
{
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sanitizedDelay(seconds)));
}

void GameLoop::setTimer(const void* owner, double delaySeconds, Task task)
{
    const double delay = sanitizedDelay(delaySeconds);
    {
        std::lock_guard lock(mutex_);
        // Read under the lock: timers set one after another get due
        // times in that order, whichever threads set them.
        timers_.emplace(std::pair(now() + delay, nextTimerSequence_++), Timer{owner, std::move(task)});
        ++generation_;
        onTimerSet_(delay);
    }
    wake_.notify_all();
}

void GameLoop::dropTimers(const void* owner)
{
    std::vector<Timer> dropped;
    std::lock_guard lock(mutex_);
    for (auto timer = timers_.begin(); timer != timers_.end();) {
        if (timer->second.owner == owner) {
            dropped.push_back(std::move(timer->second));
            timer = timers_.erase(timer);
        } else {
            ++timer;
        }
    }
}

void GameLoop::nextTurn(Task task) { tasks_.push_back(std::move(task)); }

void GameLoop::post(std::optional<std::string> line)
{
    {
        std::lock_guard lock(mutex_);
        input_.push_back(std::move(line));
        ++generation_;
    }
    wake_.notify_all();
}

bool GameLoop::takeInput(std::optional<std::string>& line)
{
    std::lock_guard lock(mutex_);
    if (input_.empty()) return false;
    line = std::move(input_.front());
    input_.pop_front();
    return true;
}

void GameLoop::stop()
{
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
        ++generation_;
    }
    wake_.notify_all();
}

// As a terminal drops what was typed ahead when Ctrl-C interrupts, lines
// entered before it and not yet run go too, so whatever was entered last
// never starts after the interrupt. The end of the input stays.
bool GameLoop::interrupt()
{
    bool running = busy_;
    {
        std::lock_guard lock(mutex_);
        const auto dropped = std::erase_if(input_, [](const auto& line) { return line.has_value(); });
        running = running || dropped > 0;
        droppedByInterrupt_ = droppedByInterrupt_.value_or(0) + dropped;
        ++generation_;
    }
    wake_.notify_all();
    return running;
}

std::optional<GameLoop::Timer> GameLoop::takeDueTimer(std::uint64_t setBefore)
{
    std::lock_guard lock(mutex_);
    const double time = now();
    for (auto timer = timers_.begin(); timer != timers_.end() && timer->first.first <= time; ++timer) {
        if (timer->first.second < setBefore) {
            Timer due = std::move(timer->second);
            timers_.erase(timer);
            return due;
        }
    }
    return std::nullopt;
}

bool GameLoop::turn(InputSide& input)
{
    bool ran = false;
    std::uint64_t setBefore = 0;
    bool stop = false;
    std::optional<std::size_t> interruptedInput;
    {
        std::lock_guard lock(mutex_);
        setBefore = nextTimerSequence_;
        stop = std::exchange(stopRequested_, false);
        interruptedInput = std::exchange(droppedByInterrupt_, std::nullopt);
    }
    if (stop) {
        input.stop();
        return true;
    }
    if (interruptedInput) input.interrupt(*interruptedInput);
    while (auto timer = takeDueTimer(setBefore)) {
        ran = true;
        timer->task();
    }
    if (!tasks_.empty()) {
        const auto tasks = std::exchange(tasks_, {});
        for (const auto& task : tasks) task();
        ran = true;
    }
    ran = input.runLine() || ran;
    busy_ = input.holdsCommands() || input.waitEndsAt() > now();
    return ran;
}

void GameLoop::runPending(InputSide& input)
{
    for (int turns = 0; turns < maxPendingTurns && turn(input); ++turns) {
    }
}

bool GameLoop::inputWaiting(const InputSide& input)
{
    std::lock_guard lock(mutex_);
    return input.holdsCommands() || !input_.empty();
}

bool GameLoop::runUntil(InputSide& input, const std::function<bool()>& done,
                        std::optional<Clock::time_point> deadline)
{
    for (;;) {
        std::uint64_t seen = 0;
        {
            std::lock_guard lock(mutex_);
            seen = generation_;
        }
        while (!done() && turn(input)) {
        }
        if (done()) return true;

        std::unique_lock lock(mutex_);
        if (generation_ != seen) continue;
        if (deadline && Clock::now() >= *deadline) return false;
        auto wakeAt = deadline.value_or(Clock::time_point::max());
        if (clockMode_ == ClockMode::real) {
            if (!timers_.empty()) wakeAt = std::min(wakeAt, realTimeAt(timers_.begin()->first.first));
            const double waitEnds = input.waitEndsAt();
            if (waitEnds > now() && (input.holdsCommands() || !input_.empty())) {
                wakeAt = std::min(wakeAt, realTimeAt(waitEnds));
            }
        }
        const auto changed = [&] { return generation_ != seen; };
        if (wakeAt == Clock::time_point::max()) {
            wake_.wait(lock, changed);
        } else {
            wake_.wait_until(lock, wakeAt, changed);
        }
    }
}

void GameLoop::runFor(InputSide& input, double seconds)
{
    seconds = sanitizedDelay(seconds);
    if (clockMode_ == ClockMode::real) {
        runUntil(input, [] { return false; }, deadlineIn(seconds));
        return;
    }
    const double end = now() + seconds;
    for (;;) {
        runPending(input);
        std::optional<double> next;
        {
            std::lock_guard lock(mutex_);
            if (!timers_.empty()) next = timers_.begin()->first.first;
        }
        const double waitEnds = input.waitEndsAt();
        if (waitEnds > now() && inputWaiting(input)) next = std::min(next.value_or(waitEnds), waitEnds);
        if (!next || *next > end || *next <= now()) break;
        manualNow_ = *next;
    }
    manualNow_ = std::max(now(), end);
    runPending(input);
}

}  // namespace tarnwick::host
