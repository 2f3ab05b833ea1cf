#include "SettingsPageWriter.h"

#include <iterator>
#include <utility>

#include <fmt/format.h>

#include "ConsoleNames.h"

namespace tarnwick::plugin {

namespace {

#if defined(_WIN32)
constexpr std::string_view lineEnd = "\r\n";
#else
constexpr std::string_view lineEnd = "\n";
#endif

}  // namespace

SettingsPageWriter::SettingsPageWriter()
    : page(fmt::format("Tarnwick Plugin{}6|Workshop Maps|{}|", lineEnd, names::mapChoice))
{
}

void SettingsPageWriter::addMap(std::string_view relativePath)
{
    if (hasMaps) {
        page += '&';
    }
    hasMaps = true;
    page.append(relativePath).append("@").append(relativePath);
}

std::string SettingsPageWriter::text() const&
{
    return SettingsPageWriter(*this).text();
}

std::string SettingsPageWriter::text() &&
{
    if (!hasMaps) {
        page += " @ ";
    }
    fmt::format_to(std::back_inserter(page),
                   "{0}12|Maps folder Path (default folder is the workshop map folder)|{1}{0}"
                   "1|Auto-reload on file change|{2}{0}"
                   "0|Load Map|{3}{0}",
                   lineEnd, names::mapsFolder, names::autoReload, names::loadMap);
    return std::move(page);
}

}  // namespace tarnwick::plugin
