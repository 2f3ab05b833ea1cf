#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarnwick::host {

// The record of every host interaction: as JSON Lines in a file when one is
// given, and in memory only when asked for. Safe from any thread.
class Trace {
public:
    // Called once, outside the trace's lock, when a write of the file fails;
    // the file is not written again after that.
    using FailureCallback = std::function<void(const std::system_error& failure)>;

    // Throws std::system_error when the file cannot be created.
    Trace(const std::optional<std::filesystem::path>& file, bool keepEvents, std::function<double()> clock,
          FailureCallback onFailure);

    // Adds "t" and "event" to `fields`. Strings are narrow text, recorded as
    // UTF-8; bytes that are no text in the process code page are escaped, so
    // every line stays valid JSON.
    void record(std::string_view event, nlohmann::json fields = nlohmann::json::object());

    // Throws std::logic_error unless the events are kept.
    std::vector<nlohmann::json> events(std::optional<std::string_view> kind = std::nullopt) const;

    // Closes the file; throws the std::system_error of the first write that
    // failed, or of the close.
    void finish();

private:
    // Records the first failed write and stops writing. Under the lock.
    std::system_error fail(int code);

    mutable std::mutex mutex;
    std::function<double()> clock;
    FailureCallback onFailure;
    std::optional<std::ofstream> fileStream;
    std::filesystem::path filePath;
    std::optional<std::system_error> failure;
    bool keepEvents = false;
    std::atomic<bool> active{false};  // a file to write or events to keep
    std::vector<nlohmann::json> keptEvents;
};

}  // namespace tarnwick::host
