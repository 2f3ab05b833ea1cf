#include "Trace.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

#include "Text.h"

namespace tarnwick::host {
namespace {

// Strings arrive as narrow text, in the process code page; JSON wants UTF-8.
nlohmann::json escaped(const nlohmann::json& value)
{
    if (value.is_string()) return text::utf8FromNarrow(value.get_ref<const std::string&>());
    if (value.is_object()) {
        auto result = nlohmann::json::object();
        for (const auto& [key, item] : value.items()) result[text::utf8FromNarrow(key)] = escaped(item);
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

Trace::Trace(const std::optional<std::filesystem::path>& file, bool keepEvents, std::function<double()> clock,
             FailureCallback onFailure)
    : clock(std::move(clock)), onFailure(std::move(onFailure)), keepEvents(keepEvents)
{
    if (file) {
        filePath = *file;
        errno = 0;
        fileStream.emplace(filePath, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!*fileStream) {
            const int code = errno != 0 ? errno : EIO;
            throw std::system_error(code, std::generic_category(),
                                    fmt::format("cannot create trace file {}", text::narrowFromPath(filePath)));
        }
    }
    active = fileStream.has_value() || keepEvents;
}

void Trace::record(std::string_view event, nlohmann::json fields)
{
    if (!active) return;  // nobody reads it: nothing is built, nothing kept
    auto entry = escaped(fields);
    entry["event"] = text::utf8FromNarrow(event);
    std::optional<std::system_error> failed;
    {
        std::lock_guard lock(mutex);
        // Stamped under the lock, so times in the file never run backwards.
        entry["t"] = clock();
        if (fileStream) {
            errno = 0;
            *fileStream << entry.dump() << '\n';
            fileStream->flush();
            if (!*fileStream) failed = fail(errno);
        }
        if (keepEvents) keptEvents.push_back(std::move(entry));
    }
    if (failed && onFailure) onFailure(*failed);
}

std::system_error Trace::fail(int code)
{
    failure.emplace(code != 0 ? code : EIO, std::generic_category(),
                     fmt::format("cannot write trace file {}", text::narrowFromPath(filePath)));
    // Half a line may be in the file: nothing more goes after it.
    fileStream.reset();
    active = keepEvents;
    return *failure;
}

std::vector<nlohmann::json> Trace::events(std::optional<std::string_view> kind) const
{
    if (!keepEvents) throw std::logic_error("the host keeps its events only when HostOptions::keepEvents is set");
    std::lock_guard lock(mutex);
    if (!kind) return keptEvents;
    std::vector<nlohmann::json> matching;
    for (const auto& entry : keptEvents) {
        if (entry.at("event").get_ref<const std::string&>() == *kind) matching.push_back(entry);
    }
    return matching;
}

void Trace::finish()
{
    std::lock_guard lock(mutex);
    if (fileStream) {
        errno = 0;
        fileStream->close();
        if (!*fileStream) {
            fail(errno);
        } else {
            fileStream.reset();
            active = keepEvents;
        }
    }
    if (failure) throw *failure;
}

}  // namespace tarnwick::host
