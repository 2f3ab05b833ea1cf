#include "trace.h"

#include <cerrno>
#include <system_error>

#include <fmt/format.h>

#include "text.h"

namespace tarnwick::host {
namespace {

nlohmann::json escaped(const nlohmann::json& value)
{
    if (value.is_string()) return text::escapeInvalidUtf8(value.get_ref<const std::string&>());
    if (value.is_object()) {
        auto result = nlohmann::json::object();
        for (const auto& [key, item] : value.items()) result[text::escapeInvalidUtf8(key)] = escaped(item);
        return result;
    }
    if (value.is_array()) {
        auto result = nlohmann::json::array();
        for (const auto& item : value) result.push_back(escaped(item));
        return result;
    }
    return value;
}

}  // namespace

Trace::Trace(const std::optional<std::filesystem::path>& file, std::function<double()> clock)
    : clock_(std::move(clock))
{
    if (!file) return;
    path_ = *file;
    errno = 0;
    file_.emplace(path_, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!*file_) {
        const int code = errno != 0 ? errno : EIO;
        throw std::system_error(code, std::generic_category(),
                                fmt::format("cannot create trace file {}", path_.string()));
    }
}

void Trace::record(std::string_view event, nlohmann::json fields)
{
    auto entry = escaped(fields);
    entry["event"] = text::escapeInvalidUtf8(event);
    std::lock_guard lock(mutex_);
    // Stamped under the lock, so times in the file never run backwards.
    entry["t"] = clock_();
    if (file_) {
        *file_ << entry.dump() << '\n';
        file_->flush();
    }
    events_.push_back(std::move(entry));
}

std::vector<nlohmann::json> Trace::events(std::optional<std::string_view> kind) const
{
    std::lock_guard lock(mutex_);
    if (!kind) return events_;
    std::vector<nlohmann::json> matching;
    for (const auto& entry : events_) {
        if (entry.at("event").get_ref<const std::string&>() == *kind) matching.push_back(entry);
    }
    return matching;
}

}  // namespace tarnwick::host
