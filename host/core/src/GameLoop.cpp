#include "GameLoop.h"

#include <algorithm>

namespace tarnwick::host {
namespace {

// runPending stops after this many turns, so a timer that keeps re-arming
// itself with no delay cannot hang the caller.
constexpr int maxPendingTurns = 10000;

}  // namespace

GameLoop::GameLoop(ClockMode clock, std::function<void(double delay)> onTimerSet)
    : clockMode(clock), onTimerSet(std::move(onTimerSet))
{
}

double GameLoop::now() const
{
    if (clockMode == ClockMode::manual) return manualNow.load();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

GameLoop::Clock::time_point GameLoop::realTimeAt(double seconds) const
{
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
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
        std::lock_guard lock(mutex);
        // Read under the lock: timers set one after another get due
        // times in that order, whichever threads set them.
        timers.emplace(std::pair(now() + delay, nextTimerSequence++), Timer{owner, std::move(task)});
        ++generation;
        onTimerSet(delay);
    }
    wake.notify_all();
}

void GameLoop::dropTimers(const void* owner)
{
    std::vector<Timer> dropped;
    std::lock_guard lock(mutex);
    for (auto timer = timers.begin(); timer != timers.end();) {
        if (timer->second.owner == owner) {
            dropped.push_back(std::move(timer->second));
            timer = timers.erase(timer);
        } else {
            ++timer;
        }
    }
}

void GameLoop::nextTurn(Task task) { nextTurnTasks.push_back(std::move(task)); }

void GameLoop::post(std::optional<std::string> line)
{
    {
        std::lock_guard lock(mutex);
        postedInput.push_back(std::move(line));
        ++generation;
    }
    wake.notify_all();
}

bool GameLoop::takeInput(std::optional<std::string>& line)
{
    std::lock_guard lock(mutex);
    if (postedInput.empty()) return false;
    line = std::move(postedInput.front());
    postedInput.pop_front();
    return true;
}

void GameLoop::stop()
{
    {
        std::lock_guard lock(mutex);
        stopRequested = true;
        ++generation;
    }
    wake.notify_all();
}

// As a terminal drops what was typed ahead when Ctrl-C interrupts, lines
// entered before it and not yet run go too, so whatever was entered last
// never starts after the interrupt. The end of the input stays.
bool GameLoop::interrupt()
{
    bool running = busy;
    {
        std::lock_guard lock(mutex);
        const auto dropped = std::erase_if(postedInput, [](const auto& line) { return line.has_value(); });
        running = running || dropped > 0;
        droppedByInterrupt = droppedByInterrupt.value_or(0) + dropped;
        ++generation;
    }
    wake.notify_all();
    return running;
}

std::optional<GameLoop::Timer> GameLoop::takeDueTimer(std::uint64_t setBefore)
{
    std::lock_guard lock(mutex);
    const double time = now();
    for (auto timer = timers.begin(); timer != timers.end() && timer->first.first <= time; ++timer) {
        if (timer->first.second < setBefore) {
            Timer due = std::move(timer->second);
            timers.erase(timer);
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
        std::lock_guard lock(mutex);
        setBefore = nextTimerSequence;
        stop = std::exchange(stopRequested, false);
        interruptedInput = std::exchange(droppedByInterrupt, std::nullopt);
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
    if (!nextTurnTasks.empty()) {
        const auto tasks = std::exchange(nextTurnTasks, {});
        for (const auto& task : tasks) task();
        ran = true;
    }
    ran = input.runLine() || ran;
    busy = input.holdsCommands() || input.waitEndsAt() > now();
    return ran;
}

void GameLoop::runPending(InputSide& input)
{
    for (int turns = 0; turns < maxPendingTurns && turn(input); ++turns) {
    }
}

bool GameLoop::inputWaiting(const InputSide& input)
{
    std::lock_guard lock(mutex);
    return input.holdsCommands() || !postedInput.empty();
}

bool GameLoop::runUntil(InputSide& input, const std::function<bool()>& done,
                        std::optional<Clock::time_point> deadline)
{
    for (;;) {
        std::uint64_t seen = 0;
        {
            std::lock_guard lock(mutex);
            seen = generation;
        }
        while (!done() && turn(input)) {
        }
        if (done()) return true;

        std::unique_lock lock(mutex);
        if (generation != seen) continue;
        if (deadline && Clock::now() >= *deadline) return false;
        auto wakeAt = deadline.value_or(Clock::time_point::max());
        if (clockMode == ClockMode::real) {
            if (!timers.empty()) wakeAt = std::min(wakeAt, realTimeAt(timers.begin()->first.first));
            const double waitEnds = input.waitEndsAt();
            if (waitEnds > now() && (input.holdsCommands() || !postedInput.empty())) {
                wakeAt = std::min(wakeAt, realTimeAt(waitEnds));
            }
        }
        const auto changed = [&] { return generation != seen; };
        if (wakeAt == Clock::time_point::max()) {
            wake.wait(lock, changed);
        } else {
            wake.wait_until(lock, wakeAt, changed);
        }
    }
}

void GameLoop::runFor(InputSide& input, double seconds)
{
    seconds = sanitizedDelay(seconds);
    if (clockMode == ClockMode::real) {
        runUntil(input, [] { return false; }, deadlineIn(seconds));
        return;
    }
    const double end = now() + seconds;
    for (;;) {
        runPending(input);
        std::optional<double> next;
        {
            std::lock_guard lock(mutex);
            if (!timers.empty()) next = timers.begin()->first.first;
        }
        const double waitEnds = input.waitEndsAt();
        if (waitEnds > now() && inputWaiting(input)) next = std::min(next.value_or(waitEnds), waitEnds);
        if (!next || *next > end || *next <= now()) break;
        manualNow = *next;
    }
    manualNow = std::max(now(), end);
    runPending(input);
}

}  // namespace tarnwick::host
