#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include <filewatch/DirectoryWatcher.h>

#include "HostSdk.h"

namespace tarnwick::plugin {

// The console handle the pre-load handler logs through; set by onLoad and
// kept until the library is unloaded.
extern std::shared_ptr<CVarManagerWrapper> globalCvarManager;

// Lets map makers play custom maps: lists the maps of a folder on the
// settings page, loads the chosen one, reloads it whenever its file is
// saved, and restores the game's own Underpass map from a backup.
class Tarnwick final : public BakkesMod::Plugin::BakkesModPlugin {
public:
    void onLoad() override;

private:
    friend std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin>* createPluginInstance();

    // Maps folder scan and settings page.
    void scanMaps();
    void refreshSettingsPage();

    // Loads the map chosen on the settings page.
    void loadMap();

    // The game's folder of map packages and the Underpass restore.
    std::filesystem::path gameMapFolder();
    void restoreUnderpass();

    // Auto-reload: follow the map the game loads, reload it when saved.
    void onPreLoadMap(std::uintptr_t parameters);
    void onWatchingChanged();
    std::filesystem::path findMapFile(const std::filesystem::path& name);
    void onWatchedFileChanged(const filewatch::PathString& changedPath, filewatch::Event kind);
    // Delivery thread: the link the map was loaded through changed.
    void onLinkChanged(filewatch::Event kind);
    // Game thread: watches the file the link now leads to.
    void followLink();
    // Delivery thread: logs what the watcher of `folder` could not see.
    void onWatcherWarning(const std::filesystem::path& folder, const filewatch::Warning& warning);
    void reloadWatchedMap();

    // Wraps a member for the host: the callable does nothing once this object
    // is gone, and no exception ever reaches the host.
    template <void (Tarnwick::*operation)()>
    auto hostCallable(std::string_view what);

    template <typename Body>
    void guarded(std::string_view what, Body&& body) noexcept;
    void logFailure(std::string_view what, std::string_view detail) noexcept;
    // Runs `operation` on the game thread `delay` seconds from now, unless
    // this object is gone by then. Any thread.
    void runOnGameThread(std::string_view what, void (Tarnwick::*operation)(), float delay);
    void runAfterOneSecond(std::string_view what, void (Tarnwick::*operation)());
    void log(const std::string& line);
    void issueCommand(const std::string& command);
    // Issues load_workshop with `mapPath` quoted, or says why it cannot: a
    // console command has no way to quote a double quote or a line break.
    // `act` names the load in that line ("load", "reload").
    void issueLoad(std::string_view act, const std::string& mapPath);
    // Resolves and watches the map just named in watchPath.
    void watchNewMap();
    // A watcher of `file` (its folder, for changes of its name) whose
    // warnings are logged.
    std::unique_ptr<filewatch::DirectoryWatcher> watch(const std::filesystem::path& file,
                                                       filewatch::DirectoryWatcher::Callback onChange);

    // Set once, when the library's handle takes ownership of this object.
    // The watcher's delivery thread copies it to set a reload timer.
    std::weak_ptr<Tarnwick> self;

    std::filesystem::path watchPath;
    // The file fileWatcher follows: watchPath's own, or the one it leads to.
    std::filesystem::path watchedFile;
    // The watchers come last so that they are destroyed first: their
    // delivery threads must be joined before any member they could reach is
    // gone. linkWatcher watches watchPath itself where it is a link.
    std::unique_ptr<filewatch::DirectoryWatcher> linkWatcher;
    std::unique_ptr<filewatch::DirectoryWatcher> fileWatcher;
};

}  // namespace tarnwick::plugin
