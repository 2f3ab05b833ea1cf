#include <algorithm>

#include <fmt/format.h>

#include "ConsoleNames.h"
#include "Tarnwick.h"
#include "FileStatus.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace tarnwick::plugin {

namespace {

// One console line for what the watcher of `folder` could not see.
std::string watcherWarningLine(const fs::path& folder, const filewatch::Warning& warning)
{
    switch (warning.kind) {
    case filewatch::WarningKind::overflow:
        return "Watcher: " + warning.reason + "; a save may have gone unseen";
    case filewatch::WarningKind::not_watched:
        return "Watcher: not watching " + printable(narrowFromPath(folder / warning.path)) + ": " + warning.reason;
    case filewatch::WarningKind::stopped:
        return "Watcher: " + printable(narrowFromPath(folder)) + ": watching failed: " + warning.reason +
               "; saves are no longer seen";
    case filewatch::WarningKind::root_removed:
    case filewatch::WarningKind::root_moved:
        break;
    }
    return "Watcher: " + printable(narrowFromPath(folder)) + ": " + warning.reason + "; saves are no longer seen";
}

// The file a save of `map` changes: for a link, the file it leads to, in
// that file's folder. On Windows the system's name for the file is asked for
// any map: one loaded by its short 8.3 name is saved under its long name,
// which is what change records carry. Where the system cannot say (a volume
// mounted in a folder without a drive letter), the path itself is watched.
fs::path fileASaveChanges(const fs::path& map)
{
#if !defined(_WIN32)
    std::error_code notALink;
    if (!fs::is_symlink(fs::symlink_status(map, notALink))) {
        return fs::absolute(map);
    }
#endif
    try {
        return finalPathOf(map);
    } catch (const fs::filesystem_error&) {
        return systemPath(map);
    }
}

// A save in place modifies the file; a save by rename (written beside, then
// renamed over) or a move from elsewhere puts a new file at its name.
bool isSave(filewatch::Event kind)
{
    return kind == filewatch::Event::modified || kind == filewatch::Event::added ||
           kind == filewatch::Event::renamed_new_name;
}

}  // namespace

void Tarnwick::onPreLoadMap(std::uintptr_t parameters)
{
    auto watching = cvarManager->getCvar(names::autoReload);
    if (watching.IsNull() || !watching.getBoolValue()) {
        return;
    }
    // The parameter block starts with the engine string naming the map.
    watchPath = pathFromWide(UnrealStringWrapper(parameters).ToWideString());
    try {
        watchNewMap();
    } catch (...) {
        // watchPath names the new map by now: a watcher kept on the old one
        // would reload the new map on every save of the old.
        fileWatcher.reset();
        linkWatcher.reset();
        throw;
    }
}

void Tarnwick::watchNewMap()
{
    if (!pathExists(watchPath)) {
        watchPath = findMapFile(watchPath);
        if (!pathExists(watchPath)) {
            fileWatcher.reset();
            linkWatcher.reset();
            return;
        }
    }
    const std::string shownPath = narrowFromPath(watchPath);

    // The player still sees, and reloads, the link. A link re-pointed,
    // replaced or removed changes no file it leads to: the link is watched
    // too. The new watchers run before the old ones stop, so no save
    // between the two goes unseen.
    const fs::path file = fileASaveChanges(watchPath);
    auto watcher = watch(file, [this](const filewatch::PathString& changedPath, filewatch::Event kind) {
        onWatchedFileChanged(changedPath, kind);
    });
    std::unique_ptr<filewatch::DirectoryWatcher> onLink;
    if (isLink(watchPath)) {
        onLink = watch(systemPath(watchPath),
                       [this](const filewatch::PathString&, filewatch::Event kind) { onLinkChanged(kind); });
    }
    // Said once the watch is armed, so that a failure is the only line.
    // This line alone goes through globalCvarManager, the library-wide copy
    // onLoad keeps for the pre-load handler; everything else uses log().
    globalCvarManager->log(fmt::format("Watching: {}", shownPath));
    watchedFile = file;
    auto replaced = std::exchange(fileWatcher, std::move(watcher));
    auto replacedLink = std::exchange(linkWatcher, std::move(onLink));
}

std::unique_ptr<filewatch::DirectoryWatcher> Tarnwick::watch(const fs::path& file,
                                                             filewatch::DirectoryWatcher::Callback onChange)
{
    filewatch::DirectoryWatcher::Options options;
    options.onWarning = [this, folder = displayPath(file.parent_path())](const filewatch::Warning& warning) {
        onWatcherWarning(folder, warning);
    };
    return std::make_unique<filewatch::DirectoryWatcher>(file.native(), std::move(onChange), std::move(options));
}

fs::path Tarnwick::findMapFile(const fs::path& name)
{
    fs::path candidate = gameMapFolder() / name;
    if (!pathExists(candidate)) {
        candidate.replace_extension(".upk");
    }
    if (!pathExists(candidate)) {
        candidate.replace_extension(".udk");
    }
    return candidate;
}

void Tarnwick::onWatchingChanged()
{
    auto watching = cvarManager->getCvar(names::autoReload);
    if (watching.IsNull()) {
        return;
    }
    if (watching.getBoolValue()) {
        loadMap();
    } else {
        fileWatcher.reset();
        linkWatcher.reset();
    }
}

void Tarnwick::onWatchedFileChanged(const filewatch::PathString&, filewatch::Event kind)
{
    // Runs on the watcher's delivery thread: only schedule, the reload itself
    // runs on the game thread.
    if (isSave(kind)) {
        runAfterOneSecond("Map reload", &Tarnwick::reloadWatchedMap);
    }
}

void Tarnwick::onLinkChanged(filewatch::Event kind)
{
    // Delivery thread, as above. A link replaced or re-pointed leads to
    // other content: for the game, that is a save.
    runOnGameThread("Map link", &Tarnwick::followLink, 0.0f);
    if (kind == filewatch::Event::added || kind == filewatch::Event::renamed_new_name) {
        runAfterOneSecond("Map reload", &Tarnwick::reloadWatchedMap);
    }
}

void Tarnwick::followLink()
{
    // Removed, or leading nowhere: what the reload finds then is all there is.
    if (!linkWatcher || !pathExists(watchPath)) {
        return;
    }
    const fs::path file = fileASaveChanges(watchPath);
    if (file == watchedFile) {
        return;
    }
    try {
        auto watcher = watch(file, [this](const filewatch::PathString& changedPath, filewatch::Event kind) {
            onWatchedFileChanged(changedPath, kind);
        });
        watchedFile = file;
        std::exchange(fileWatcher, std::move(watcher)).reset();
    } catch (...) {
        // Saves of the file the link no longer leads to must not reload it.
        fileWatcher.reset();
        throw;
    }
}

void Tarnwick::onWatcherWarning(const fs::path& folder, const filewatch::Warning& warning)
{
    // Runs on the watcher's delivery thread: the console is the game
    // thread's, so the line is logged from a timer.
    gameWrapper->SetTimeout(
        [self = self, folder, warning](GameWrapper*) {
            if (auto plugin = self.lock()) {
                try {
                    plugin->log(watcherWarningLine(folder, warning));
                } catch (const std::exception& error) {
                    // The folder's name may not convert to the console's text.
                    plugin->logFailure("Watcher warning", error.what());
                }
            }
        },
        0.0f);
}

void Tarnwick::reloadWatchedMap()
{
    // Reads the path now, not when the timer was set: a newer map wins. A
    // file created and not yet written is no map: its first write is a
    // report, and a reload, of its own.
    if (!pathExists(watchPath) || holdsNoBytes(watchPath)) {
        return;
    }
#if defined(_WIN32)
    // The game's console wants forward slashes. Swapped in the wide text:
    // in code pages 932, 936, 949 and 950 the second byte of a character may
    // be 0x5C, a backslash's byte ("ソ" is 0x83 0x5C in 932).
    std::wstring slashed = watchPath.native();
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    const std::string mapPath = narrowFromNative(slashed);
#else
    // Here a backslash is an ordinary character of a file name and stays.
    const std::string mapPath = narrowFromPath(watchPath);
#endif
    issueLoad("reload", mapPath);
}

}  // namespace tarnwick::plugin
