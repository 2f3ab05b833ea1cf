#include <system_error>
#include <utility>

#include "Tarnwick.h"
#include "settings_file.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

bool isSeparator(fs::path::value_type c)
{
#if defined(_WIN32)
    return c == L'/' || c == L'\\';
#else
    return c == '/';
#endif
}

bool isMapPackage(const fs::path& file)
{
    // Case matters: "MAP.UPK" is not a map, and ".upk" alone is a name, not
    // an extension. Reads the path's own text: a path object per name and
    // per extension was a visible share of a large folder's scan.
    const auto& text = file.native();
    const std::size_t size = text.size();
    return size > 4 && !isSeparator(text[size - 5]) && text[size - 4] == '.' && text[size - 3] == 'u' &&
           (text[size - 2] == 'p' || text[size - 2] == 'd') && text[size - 1] == 'k';
}

}  // namespace

void Tarnwick::scanMaps()
{
    const fs::path settingsFile =
        gameWrapper->GetBakkesModPath() / pathFromNarrow("plugins") / pathFromNarrow("settings") /
        pathFromNarrow("TarnwickPlugin.set");

    const std::string mapsFolderText = cvarManager->getCvar("tw_workshop").getStringValue();
    const fs::path mapsFolder = pathFromNarrow(mapsFolderText);

    SettingsPage page;
    if (pathExists(mapsFolder)) {
        std::error_code error;
        fs::recursive_directory_iterator entry(mapsFolder, error);
        if (error) {
            throw fs::filesystem_error("recursive_directory_iterator::recursive_directory_iterator", mapsFolder,
                                       error);
        }
        // The folder the walk enters next; named when entering it fails.
        fs::path folderToEnter;
        for (; entry != fs::recursive_directory_iterator(); entry.increment(error)) {
            if (error) {
                throw fs::filesystem_error("recursive_directory_iterator::operator++", folderToEnter, error);
            }
            folderToEnter.clear();
            // The listing's own file type decides for everything but links,
            // so only a link costs a status query.
            const bool regularFile = entry->is_regular_file(error);
            if (error && !meansNoEntry(error)) {
                throw fs::filesystem_error("directory_entry::status", entry->path(), error);
            }
            if (!regularFile) {
                if (!entry->is_symlink(error) && entry->is_directory(error)) {
                    folderToEnter = entry->path();
                }
                continue;
            }
            if (!isMapPackage(entry->path())) {
                continue;
            }
            // The relative path is what follows the folder's own text: the
            // host joins the two back as plain text to load the map.
            const std::string fullPath = narrowFromPath(entry->path());
            const std::string_view relativePath = fullPath.size() < mapsFolderText.size()
                                                      ? std::string_view()
                                                      : std::string_view(fullPath).substr(mapsFolderText.size());
            if (holdsLineBreak(relativePath)) {
                // One line per control: such a name would break the page.
                log("Map left off the list, its name holds a line break: " + printable(fullPath));
                continue;
            }
            page.addMap(relativePath);
        }
        if (error) {
            throw fs::filesystem_error("recursive_directory_iterator::operator++", folderToEnter, error);
        }
    }

    replaceFileContent(settingsFile, std::move(page).text());
    runAfterOneSecond("Settings page refresh", &Tarnwick::refreshSettingsPage);
}

void Tarnwick::refreshSettingsPage()
{
    issueCommand("cl_settings_refreshplugins");
}
