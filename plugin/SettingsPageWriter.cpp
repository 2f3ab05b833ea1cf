#include "SettingsPageWriter.h"

#include <iterator>
#include <utility>

#include <fmt/format.h>

#include "ConsoleNames.h"
#include "ReplaceWhole.h"
#include "FileStatus.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

SettingsPageWriter::SettingsPageWriter() : page(fmt::format("Tarnwick Plugin\n6|Workshop Maps|{}|", names::mapChoice))
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
                   "\n12|Maps folder Path (default folder is the workshop map folder)|{}\n"
                   "1|Auto-reload on file change|{}\n"
                   "0|Load Map|{}\n",
                   names::mapsFolder, names::autoReload, names::loadMap);
    return std::move(page);
}

bool replaceFileContent(const fs::path& target, std::string_view content)
{
#if defined(_WIN32)
    // Text mode, as the host reads the page: every line ends in CR LF.
    std::string withCrLf;
    withCrLf.reserve(content.size() + content.size() / 16);
    for (const char c : content) {
        if (c == '\n') withCrLf += '\r';
        withCrLf += c;
    }
    content = withCrLf;
#endif
    try {
        replaceWhole(target, ".new", [&](FileBeside& page) { page.write(content); });
    } catch (const fs::filesystem_error& error) {
        // No settings folder: the host has nowhere to show the page from.
        if (meansNoEntry(error.code()) && !pathExists(target.parent_path())) {
            return false;
        }
        throw;
    }
    return true;
}

}  // namespace tarnwick::plugin
