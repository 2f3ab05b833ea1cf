#include "SettingsPageWriter.h"

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <memory>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "ConsoleNames.h"
#include "ReplaceWhole.h"
#include "Text.h"

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

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openForWriting(const fs::path& path)
{
    // Text mode: on Windows every line ends in CR LF, as the host expects.
#if defined(_WIN32)
    return File(_wfopen(path.c_str(), L"w"));
#else
    return File(std::fopen(path.c_str(), "w"));
#endif
}

// Why the last open failed, in the system's own terms.
std::error_code openError()
{
#if defined(_WIN32)
    // The runtime keeps the system's code beside its errno approximation.
    if (_doserrno != 0) {
        return {static_cast<int>(_doserrno), std::system_category()};
    }
#endif
    return {errno != 0 ? errno : EIO, std::generic_category()};
}

// Writes and closes; the error code of the first failure, or none.
std::error_code writeAll(File file, std::string_view content)
{
    errno = 0;
    if (std::fwrite(content.data(), 1, content.size(), file.get()) != content.size() || std::fflush(file.get()) != 0) {
        return {errno != 0 ? errno : EIO, std::generic_category()};
    }
    if (std::fclose(file.release()) != 0) {
        return {errno != 0 ? errno : EIO, std::generic_category()};
    }
    return {};
}

}  // namespace

bool replaceFileContent(const fs::path& target, std::string_view content)
{
    const fs::path temporary = fileBeside(target, ".new");

    errno = 0;
#if defined(_WIN32)
    _doserrno = 0;
#endif
    auto file = openForWriting(temporary);
    if (!file) {
        const auto error = openError();
        if (meansNoEntry(error)) {
            return false;
        }
        // Nothing of ours beside the page yet: nothing to remove.
        throw fs::filesystem_error("cannot replace", target, temporary, error);
    }
    replaceWithFileBeside(target, temporary, [&] {
        if (auto error = writeAll(std::move(file), content)) {
            throw fs::filesystem_error("cannot replace", target, temporary, error);
        }
    });
    return true;
}

}  // namespace tarnwick::plugin
