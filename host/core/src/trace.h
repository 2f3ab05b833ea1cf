#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarnwick::host {

// The record of every host interaction: in memory, and as JSON Lines in a
// file when one is given. Safe from any thread.
class Trace {
public:
    // Throws std::system_error when the file cannot be created.
    Trace(const std::optional<std::filesystem::path>& file, std::function<double()> clock);

    // Adds "t" and "event" to `fields`. Strings that are not valid UTF-8 are
    // escaped first, so every line stays valid JSON.
    void record(std::string_view event, nlohmann::json fields = nlohmann::json::object());

    std::vector<nlohmann::json> events(std::optional<std::string_view> kind = std::nullopt) const;

private:
    mutable std::mutex mutex_;
    std::function<double()> clock_;
    std::optional<std::ofstream> file_;
    std::filesystem::path path_;
    std::vector<nlohmann::json> events_;
};

}  // namespace tarnwick::host
