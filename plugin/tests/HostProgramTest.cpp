#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <cstdlib>
#include <numeric>
#include <thread>

#include "TestSupport.h"
#include "Text.h"

namespace tarnwick::plugin::tests {
namespace {

// How the host program is started.
struct Limits {
#if !defined(_WIN32)
    std::optional<uid_t> runAs;           // another user, to meet permissions while the tests run as root
    std::optional<rlim_t> fileSizeLimit;  // RLIMIT_FSIZE in bytes, SIGXFSZ left at its default
#endif
    bool traced = true;                   // a trace would meet the file-size limit too
};

// tarnwick-host run as a user would: a separate process fed console lines,
// observed through its trace file.
class HostProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostFolder = folder.path() / "host";
        mapsFolder = folder.path() / "maps";
        gameRoot = folder.path() / "game";
        traceFile = folder.path() / "trace.jsonl";
        fs::create_directories(hostFolder / "plugins" / "settings");
        fs::create_directories(hostFolder / "data");
        fs::create_directories(gameRoot / "TAGame" / "CookedPCConsole");
        map = mapsFolder / "nested" / "Arena.upk";
        writeFile(map, "map v1\n");
    }

    // Starts the host. Its console output, both streams in the order written,
    // goes through a pipe, which no file-size limit cuts short.
    void start(const Limits& limits = {})
    {
        // The check of a plugin built apart, against the installed SDK, names it here.
        const char* otherPlugin = std::getenv("TARNWICK_TEST_PLUGIN");
        std::vector<std::string> arguments = {TARNWICK_HOST_PATH,
                                              "--plugin", otherPlugin ? otherPlugin : TARNWICK_PLUGIN_PATH,
                                              "--host-dir", hostFolder.string(),
                                              "--game-root", gameRoot.string()};
        if (limits.traced) {
            arguments.push_back("--trace");
            arguments.push_back(traceFile.string());
        }
        arguments.insert(arguments.begin(), launcher.begin(), launcher.end());
        testsupport::ChildOptions options;
        options.errorsToOutput = true;
#if !defined(_WIN32)
        options.inChild = [limits] {
            if (limits.runAs && (::setgid(*limits.runAs) != 0 || ::setuid(*limits.runAs) != 0)) {
                ::_exit(126);
            }
            ::signal(SIGXFSZ, SIG_DFL);
            if (limits.fileSizeLimit) {
                const rlimit limit{*limits.fileSizeLimit, *limits.fileSizeLimit};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
            }
        };
#endif
        child = std::make_unique<testsupport::ChildProcess>(arguments, std::move(options));
    }

    // A string_view, like the lines below take: with a string here, clang
    // reads send({text}) as this overload, without the line break.
    void send(std::string_view lines) { child->send(lines); }
    int finish()
    {
        child->closeInput();
        return child->finish();
    }
    std::string console() const { return child->out(); }

    std::vector<nlohmann::json> trace() const
    {
        std::vector<nlohmann::json> events;
        std::istringstream lines(readFile(traceFile));
        for (std::string line; std::getline(lines, line);) {
            events.push_back(nlohmann::json::parse(line));  // every line is valid JSON
        }
        return events;
    }

    std::vector<nlohmann::json> traced(const std::string& kind) const
    {
        std::vector<nlohmann::json> found;
        for (auto& event : trace()) {
            if (event.at("event") == kind) found.push_back(event);
        }
        return found;
    }

    // Waits, re-reading the trace, until `done` holds; the deadline is generous.
    bool awaitTrace(const std::function<bool()>& done, std::chrono::seconds deadline = 15s) const
    {
        return waitUntil(done, deadline);
    }

    // Commands run with `text`, from "plugin" or "console".
    long commands(const char* from, const std::string& text) const
    {
        long n = 0;
        for (auto& event : traced("command")) {
            n += event.at("from") == from && event.at("text") == text;
        }
        return n;
    }

    long pluginCommands(const std::string& text) const { return commands("plugin", text); }

    std::vector<std::string> logLines() const
    {
        std::vector<std::string> lines;
        for (auto& event : traced("log")) lines.push_back(event.at("text"));
        return lines;
    }
    long logged(const std::string& line) const
    {
        const auto lines = logLines();
        return std::count(lines.begin(), lines.end(), line);
    }

    // "Watching:" is logged as a load starts its watcher. A console line
    // runs on the game's thread after that load, so once it shows in the
    // trace the watcher is ready for the next save.
    bool watcherReady()
    {
        send("wait 0\n");
        return awaitTrace([&, sent = ++consoleMarks] { return commands("console", "wait 0") == sent; });
    }

    // The maps folder with forward slashes, which Windows takes too: the
    // load, the watch and the game's reload then all name the map alike.
    std::string mapsFolderText() const { return mapsFolder.generic_string() + "/"; }
    std::string mapText() const { return mapsFolderText() + "nested/Arena.upk"; }

    // Console lines, each ended.
    void send(std::initializer_list<std::string_view> lines)
    {
        std::string text;
        for (const auto line : lines) text.append(line).append("\n");
        send(text);
    }

    TemporaryFolder folder;
    long consoleMarks = 0;  // "wait 0" lines sent
    fs::path hostFolder, mapsFolder, gameRoot, traceFile, map;
    // How the scan lists the map: the walk joins with the native separator.
    const std::string listed = (fs::path("nested") / "Arena.upk").string();
    const std::string listedPage = pageWith(listed + "@" + listed);
    std::unique_ptr<testsupport::ChildProcess> child;
    // A program the host is started through, with its arguments.
    std::vector<std::string> launcher;
};

TEST_F(HostProgram, ShowsTheMapsAndLoadsTheChosenOne)
{
    start();
    send({setting(names::mapsFolder, mapsFolderText()), "wait 1.2", setting(names::mapChoice, "nested/Arena.upk"),
          names::loadMap, "wait 0.1"});
    EXPECT_EQ(finish(), 0);

    const auto plugin = traced("plugin");
    ASSERT_EQ(plugin.size(), 2u);
    EXPECT_EQ(plugin[0].at("action"), "load");
    EXPECT_EQ(plugin[0].at("name"), "Tarnwick");
    EXPECT_EQ(plugin[0].at("version"), TARNWICK_VERSION);
    EXPECT_EQ(plugin[0].at("api"), 95);
    EXPECT_EQ(plugin[1].at("action"), "unload");

    EXPECT_EQ(readFile(hostFolder / "plugins" / "settings" / "TarnwickPlugin.set"), listedPage);
    EXPECT_FALSE(traced("settings").empty()) << "the page was redrawn";
    EXPECT_EQ(pluginCommands("load_workshop \"" + mapText() + "\""), 1);
    const auto preload = traced("preload");
    ASSERT_EQ(preload.size(), 1u);
    EXPECT_EQ(preload[0].at("map"), mapText());
    EXPECT_TRUE(traced("error").empty());
}

// Every way a tool saves a map reloads it, one second after the save: once
// per report of its name as written, put in place by a rename or a move, or
// re-pointed where it is a link. Deleting it, leaving it empty and saving a
// file the link no longer leads to reload nothing. Each row ends with a
// save in place: once its reload is done, so are the row's, and the counts
// are exact.
TEST_F(HostProgram, ReloadsTheMapOneSecondAfterEachSave)
{
    const fs::path nested = map.parent_path();
    const fs::path elsewhere = folder.path() / "elsewhere";
    const fs::path targetA = elsewhere / "A.upk";
    const fs::path targetB = elsewhere / "B.upk";
    fs::create_directories(elsewhere);
    writeFile(targetA, "map A\n");
    writeFile(targetB, "map B\n");
    std::string loaded;
    const auto reloadsOf = [&] { return pluginCommands("load_workshop \"" + mapsFolderText() + loaded + "\""); };
    const auto watchingLines = [&] { return logged("Watching: " + mapsFolderText() + loaded); };
    const auto timersPending = [&] { return traced("timer_set").size() - traced("timer_fired").size(); };
    struct Row {
        const char* name;
        const char* loaded;  // below the maps folder
        std::function<void()> act;
        long reloads;
        // The act's timers fire before the closing save, whose content the
        // reload would otherwise find.
        bool settleFirst = false;
    };
    const Row rows[] = {
        {"save in place", "nested/Arena.upk", [&] { appendOnce(map, "edit\n"); }, 1},
        // An editor that keeps the map open between saves.
        {"saved twice while kept open", "nested/Arena.upk",
         [&] {
             std::FILE* open = std::fopen(map.string().c_str(), "ab");
             ASSERT_NE(open, nullptr);
             std::setvbuf(open, nullptr, _IONBF, 0);
             for (const char* edit : {"edit 1\n", "edit 2\n"}) {
                 std::fputs(edit, open);
                 const long reloaded = reloadsOf() + 1;
                 EXPECT_TRUE(awaitTrace([&] { return reloadsOf() >= reloaded && watchingLines() == reloaded; }))
                     << "before it is closed";
                 EXPECT_TRUE(watcherReady());
             }
             std::fclose(open);
         },
         2},
        {"save by rename in the folder", "nested/Arena.upk",
         [&] {
             writeFile(nested / ".Arena.upk.swp", "map v2\n");
             fs::rename(nested / ".Arena.upk.swp", map);
         },
         1},
        {"save by a move from another folder", "nested/Arena.upk",
         [&] {
             writeFile(elsewhere / "Arena.upk", "map v3\n");
             fs::rename(elsewhere / "Arena.upk", map);
         },
         1},
        // Added, then written: two reports.
        {"deleted, then written anew", "nested/Arena.upk",
         [&] {
             fs::remove(map);
             writeFile(map, "map v4\n");
         },
         2},
        {"created empty", "nested/Arena.upk",
         [&] {
             fs::remove(map);
             writeFile(map, "");
         },
         0, true},
#if !defined(_WIN32)
        // Wine cannot make Windows links; the links below are Linux ones.
        {"save of the file a link leads to", "nested/Linked.upk", [&] { appendOnce(targetA, "edit\n"); }, 1},
        // Followed on the game's next turn: the closing save waits for that.
        {"the link re-pointed", "nested/Linked.upk",
         [&] {
             fs::create_symlink(targetB, nested / ".Linked.upk.new");
             fs::rename(nested / ".Linked.upk.new", nested / "Linked.upk");
         },
         1, true},
        {"save of the file it leads to now", "nested/Linked.upk", [&] { appendOnce(targetB, "edit\n"); }, 1},
        {"save of the file it led to before", "nested/Linked.upk", [&] { appendOnce(targetA, "edit\n"); }, 0},
#endif
    };
#if !defined(_WIN32)
    fs::create_symlink(targetA, nested / "Linked.upk");
#endif
    start();
    send({setting(names::mapsFolder, mapsFolderText())});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (loaded != row.loaded) {
            loaded = row.loaded;
            send({setting(names::mapChoice, loaded), names::loadMap});
            ASSERT_TRUE(awaitTrace([&] { return watchingLines() == 1; }));
        }
        ASSERT_TRUE(watcherReady());
        const long before = reloadsOf();
        const auto timersBefore = traced("timer_set").size();
        row.act();
        if (row.settleFirst) {
            ASSERT_TRUE(awaitTrace([&] { return traced("timer_set").size() > timersBefore && timersPending() == 0; }));
            ASSERT_TRUE(watcherReady());
        }
        appendOnce(mapsFolder / loaded, "closing save\n");
        const long expected = before + row.reloads + 1;
#if defined(_WIN32)
        // Windows may report one write as two modifications, each its own reload.
        ASSERT_TRUE(awaitTrace([&] { return reloadsOf() >= expected && timersPending() == 0; }));
#else
        ASSERT_TRUE(awaitTrace([&] { return reloadsOf() >= expected && timersPending() == 0; }))
            << reloadsOf() - before << " reloads";
        EXPECT_EQ(reloadsOf(), expected);
#endif
        // Each load, the first by "Load Map", watches the map afresh.
        ASSERT_TRUE(awaitTrace([&] { return watchingLines() == reloadsOf(); }));
    }
    send("quit\n");
    EXPECT_EQ(finish(), 0);

    // Each reload fires no sooner than one second after the timer its save
    // set; how much later depends on the machine, a figure and no claim.
    const auto set = traced("timer_set");
    const auto fired = traced("timer_fired");
    ASSERT_GE(fired.size(), 2u);
    const double delay = fired.back().at("t").get<double>() - set.back().at("t").get<double>();
    // The trace stamps an event a moment after the host acts on it.
    EXPECT_GE(delay, 0.99);
    RecordProperty("reload_delay_ms", static_cast<int>(delay * 1000));
    EXPECT_TRUE(traced("error").empty());
}

// Names for a map in each code page the host may run in; the rows of the
// code page this process runs in are taken. Besides the plain run (1252 under
// Wine), ctest runs this under LC_ALL=ja_JP.UTF-8 (932) and zh_CN.UTF-8
// (936), where "ソ" and "表" (932) and "乗" (936) end in 0x5C, a backslash's
// byte. A name the code page cannot hold is listed by its short 8.3 name.
const struct {
    unsigned codePage;  // 0: UTF-8, as narrow text is on Linux
    const char8_t* folder;
    const char8_t* map;
    bool byShortName = false;
} mapNamesByCodePage[] = {
#if defined(_WIN32)
    {1252, u8"\u00D6l\u00E7\u00FC", u8"\u0152uvre \u20AC.upk"},
    {1252, u8"\u5730\u56F3", u8"\u5730\u56F3.upk", true},
    {932, u8"\u30BD\u8868", u8"\u30BD\u8868.upk"},
    {936, u8"\u30BD\u8868\u4E57", u8"\u4E57.upk"},
#else
    {0, u8"\u00D6l\u00E7\u00FC \u30BD\u8868", u8"\u0152uvre \u20AC.upk"},
#endif
};

// The options of the page's drop-down list, sorted: the walk lists them in
// the file system's order.
std::vector<std::string> pageOptions(const std::string& page)
{
    std::istringstream lines(page);
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    if (line.ends_with('\r')) line.pop_back();
    std::vector<std::string> options;
    std::istringstream list(line.substr(line.find_last_of('|') + 1));
    for (std::string option; std::getline(list, option, '&');) options.push_back(option);
    std::sort(options.begin(), options.end());
    return options;
}

// Each map listed, loaded, and reloaded after a save: named in the code page,
// named outside it, and in a folder tree whose full path passes 300
// characters.
TEST_F(HostProgram, ListsLoadsAndReloadsMapsHoweverNamedAndNested)
{
#if defined(_WIN32)
    const unsigned codePage = ::GetACP();
#else
    const unsigned codePage = 0;
#endif
    // The trace holds UTF-8; the console, the page and the commands hold
    // narrow text in the code page. (Linux paths are UTF-8 bytes already.)
#if defined(_WIN32)
    const auto fromUtf8 = [](const char8_t* text) { return fs::path(text); };
    const auto utf8 = [](const fs::path& path) {
        const auto text = path.u8string();
        return std::string(text.begin(), text.end());
    };
#else
    const auto fromUtf8 = [](const char8_t* text) { return fs::path(reinterpret_cast<const char*>(text)); };
    const auto utf8 = [](const fs::path& path) { return path.native(); };
#endif
    struct Map {
        fs::path file;      // below the maps folder
        fs::path listedAs;  // the same, as the page lists it
    };
    std::vector<Map> maps;
    fs::remove_all(mapsFolder);  // in place of nested/Arena.upk
    for (const auto& names : mapNamesByCodePage) {
        if (names.codePage != codePage) continue;
        const fs::path file = fromUtf8(names.folder) / fromUtf8(names.map);
        writeFile(mapsFolder / file, "map v1\n");
        fs::path listedAs = file;
#if defined(_WIN32)
        if (names.byShortName) {
            // Wine makes a short name for every name that is not 8.3 already.
            std::wstring shortPath(1024, L'\0');
            shortPath.resize(::GetShortPathNameW((mapsFolder / file).c_str(), shortPath.data(), 1024));
            listedAs = fs::path(shortPath).parent_path().filename() / fs::path(shortPath).filename();
            ASSERT_NE(listedAs, file);
        }
#endif
        maps.push_back({file, listedAs});
    }
    const fs::path deep = fs::path(std::string(100, 'd')) / std::string(100, 'e') / std::string(100, 'f') / "Deep.upk";
    writeFile(mapsFolder / deep, "map v1\n");
    maps.push_back({deep, deep});

    const fs::path::string_type separator(1, fs::path::preferred_separator);
    std::vector<std::string> listed;
    for (const auto& map : maps) listed.push_back(narrowFromPath(map.listedAs) + "@" + narrowFromPath(map.listedAs));
    std::sort(listed.begin(), listed.end());
    const fs::path page = hostFolder / "plugins" / "settings" / "TarnwickPlugin.set";
    start();
    send({setting(names::mapsFolder, narrowFromPath(mapsFolder.native() + separator))});
    ASSERT_TRUE(awaitTrace([&] { return pageOptions(readFile(page)) == listed; })) << readFile(page);

    for (const auto& map : maps) {
        SCOPED_TRACE(utf8(map.file));
        const fs::path full = mapsFolder.native() + separator + map.listedAs.native();
        fs::path::string_type slashed = full.native();
#if defined(_WIN32)
        std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
#endif
        const auto preloadsBefore = traced("preload").size();
        send({setting(names::mapChoice, narrowFromPath(map.listedAs)), names::loadMap});
        ASSERT_TRUE(awaitTrace([&] { return logged("Watching: " + utf8(full)) == 1; })) << console();
        EXPECT_EQ(pluginCommands("load_workshop \"" + utf8(full) + "\""), 1);

        ASSERT_TRUE(watcherReady());
        appendOnce(mapsFolder / map.file, "edit\n");
        // Slashes only where there were separators; without one to turn,
        // the reload is the load once more.
        const std::string reload = "load_workshop \"" + utf8(slashed) + "\"";
        const long before = slashed == full.native() ? 1 : 0;
        ASSERT_TRUE(awaitTrace([&] {
            return pluginCommands(reload) > before && logged("Watching: " + utf8(slashed)) > before;
        }));
        // Windows may report one write as two modifications, each its own
        // reload: every one is done before the next map loads.
        ASSERT_TRUE(awaitTrace([&] { return traced("timer_set").size() == traced("timer_fired").size(); }));
        // The game side got the right engine string both times.
        const auto preload = traced("preload");
        ASSERT_GE(preload.size(), preloadsBefore + 2);
        EXPECT_EQ(preload[preloadsBefore].at("map"), utf8(full));
        EXPECT_EQ(preload[preloadsBefore + 1].at("map"), utf8(slashed));
    }
    send("quit\n");
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(traced("error").empty());
}

#if defined(_WIN32)
// Scanners, the search indexer and backup tools open a fresh file for a
// moment without delete sharing, as this process does here to the host's
// page. (Each ReplaceFileW that Wine refuses leaves a temporary file of its
// own, rf*.tmp, in the folder.)
TEST_F(HostProgram, ReplacesAPageHeldForAMomentAndKeepsOneHeldLonger)
{
    const fs::path page = hostFolder / "plugins" / "settings" / "TarnwickPlugin.set";
    const auto besidePage = [&] {
        for (const auto& entry : fs::directory_iterator(page.parent_path())) {
            if (entry.path().filename().native().starts_with(L"TarnwickPlugin.set.")) return true;
        }
        return false;
    };
    start();
    send({setting(names::mapsFolder, mapsFolderText())});
    ASSERT_TRUE(awaitTrace([&] { return readFile(page) == listedPage; }));

    struct Row {
        const char* name;
        bool heldPastTheRetries;
        const char* newMap;
    };
    const Row rows[] = {{"held for 300 ms", false, "Second.upk"}, {"held past the retries", true, "Third.upk"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        writeFile(mapsFolder / row.newMap, "map");
        const std::string previous = readFile(page);
        const auto refreshes = traced("settings").size();
        const auto lines = logLines().size();
        HANDLE held = ::CreateFileW(page.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        const auto heldSince = std::chrono::steady_clock::now();
        send({names::scanMaps});
        if (row.heldPastTheRetries) {
            ASSERT_TRUE(awaitTrace([&] { return logLines().size() > lines; }));
        } else {
            // The scan is replacing the page while it is held.
            ASSERT_TRUE(awaitTrace(besidePage));
            std::this_thread::sleep_until(heldSince + 300ms);
        }
        ::CloseHandle(held);
        if (row.heldPastTheRetries) {
            EXPECT_EQ(readFile(page), previous);
            const auto after = logLines();
            ASSERT_EQ(after.size(), lines + 1);
            EXPECT_NE(after.back().find("Map scan failed"), std::string::npos) << after.back();
            EXPECT_NE(after.back().find(std::error_code(ERROR_SHARING_VIOLATION, std::system_category()).message()),
                      std::string::npos)
                << after.back();
        } else {
            ASSERT_TRUE(awaitTrace([&] { return traced("settings").size() > refreshes; })) << "refreshed";
            EXPECT_EQ(pageOptions(readFile(page)).size(), 2u) << readFile(page);
            EXPECT_EQ(logLines().size(), lines);
        }
        EXPECT_FALSE(besidePage()) << "nothing of ours left beside the page";
    }
    send("quit\n");
    EXPECT_EQ(finish(), 0);
}
#endif

#if !defined(_WIN32)
// Wine does not enforce the access rights of folders, so under it no folder
// can be made unreadable.
TEST_F(HostProgram, KeepsThePageWhenASubfolderCannotBeRead)
{
    writeFile(mapsFolder / "first.upk", "map");
    fs::create_directories(mapsFolder / "locked");
    writeFile(mapsFolder / "locked" / "hidden.upk", "map");
    std::optional<uid_t> user;
    if (::geteuid() == 0) {
        // Root reads every folder: run the host as nobody instead.
        user = 65534;
        for (auto& entry : fs::recursive_directory_iterator(folder.path())) {
            ::lchown(entry.path().c_str(), *user, *user);
        }
        ::chown(folder.path().c_str(), *user, *user);
    }
    Limits limits;
    limits.runAs = user;
    start(limits);
    send({setting(names::mapsFolder, mapsFolderText()), "wait 0.2"});
    // The next console line runs once the scan has written the page (the
    // load's own scan sets a timer too, so a timer says nothing here).
    ASSERT_TRUE(awaitTrace([&] { return commands("console", "wait 0.2") == 1; }));
    const std::string page = readFile(hostFolder / "plugins" / "settings" / "TarnwickPlugin.set");
    fs::permissions(mapsFolder / "locked", fs::perms::none);
    send({names::scanMaps, "wait 0.1"});
    EXPECT_EQ(finish(), 0);
    fs::permissions(mapsFolder / "locked", fs::perms::owner_all);

    EXPECT_EQ(readFile(hostFolder / "plugins" / "settings" / "TarnwickPlugin.set"), page);
    const auto lines = logLines();
    ASSERT_FALSE(lines.empty());
    const std::string last = lines.back();
    EXPECT_NE(last.find("Map scan failed"), std::string::npos) << last;
    EXPECT_NE(last.find("locked"), std::string::npos) << last;
    EXPECT_TRUE(traced("error").empty());
}

// Starts a program in a user namespace of its own in which at most 1,000
// inotify watches may exist: the kernel's own limit, binding there whatever
// the system-wide setting, which other processes keep. (Through a program,
// because a sanitizer's threads keep a test's own child from leaving its
// namespace.)
const std::vector<std::string> underWatchLimit = {
    "/usr/bin/unshare", "--user", "--map-root-user", "/bin/sh", "-c",
    "echo 1000 > /proc/sys/user/max_inotify_watches && exec \"$@\"", "sh"};

bool canLimitInotifyWatches()
{
    std::vector<std::string> arguments = underWatchLimit;
    arguments.push_back("/bin/true");
    return testsupport::run(arguments).status == 0;
}

TEST_F(HostProgram, AFailedSwitchOfWatcherDropsTheOldOneAndSaysWhyOnce)
{
    if (!canLimitInotifyWatches()) {
        GTEST_SKIP() << "unshare cannot give the host a user namespace of its own here, so the inotify watch "
                        "limit cannot be lowered for it alone";
    }
    // The watcher watches a map's folder and every folder below it.
    const fs::path crowded = folder.path() / "crowded";
    for (int i = 0; i < 1500; ++i) {
        fs::create_directories(crowded / ("folder " + std::to_string(i)));
    }
    const std::string crowdedMap = (crowded / "Crowded.upk").string();
    writeFile(crowdedMap, "map");
    launcher = underWatchLimit;

    start();
    send({setting(names::mapsFolder, mapsFolderText()), setting(names::mapChoice, "nested/Arena.upk"), names::loadMap});
    ASSERT_TRUE(awaitTrace([&] { return !logLines().empty(); }));
    EXPECT_EQ(logLines().front(), "Watching: " + mapText());
    const auto watchesOfTheHost = [&] {
        const auto instances = testsupport::inotifyInstances(std::to_string(child->pid()));
        return std::accumulate(instances.begin(), instances.end(), std::size_t{0});
    };
    EXPECT_GT(watchesOfTheHost(), 0u);

    send("load_workshop \"" + crowdedMap + "\"\n");
    ASSERT_TRUE(awaitTrace([&] { return logLines().size() == 2; }));
    const std::string failure = logLines().back();
    EXPECT_NE(failure.find("Map pre-load failed"), std::string::npos) << failure;
    EXPECT_NE(failure.find("inotify limit reached"), std::string::npos) << failure;
    EXPECT_EQ(watchesOfTheHost(), 0u) << "neither watcher is left";

    // Before, the old watcher stayed and this save reloaded the crowded map.
    appendOnce(map, "edit\n");
    send("wait 1.5\nquit\n");
    EXPECT_EQ(finish(), 0);
    EXPECT_EQ(logLines().size(), 2u);
    EXPECT_EQ(pluginCommands("load_workshop \"" + mapText() + "\""), 1) << "only the load the player asked for";
    EXPECT_EQ(pluginCommands("load_workshop \"" + crowdedMap + "\""), 0);
}

TEST_F(HostProgram, KeepsThePreviousPageByteForByteWhenItCannotBeReplacedWhole)
{
    enum class Obstacle { noInodeLeft, noBlockLeft, readOnlyFileSystem, folderTheUserMayNotWrite };
    struct Row {
        const char* name;
        Obstacle obstacle;
        std::errc error;
    };
    const Row rows[] = {
        {"a full file system, no inode for the file beside the page", Obstacle::noInodeLeft,
         std::errc::no_space_on_device},
        {"a full file system, no block for the new text", Obstacle::noBlockLeft, std::errc::no_space_on_device},
        {"a read-only file system", Obstacle::readOnlyFileSystem, std::errc::read_only_file_system},
        {"a settings folder the user may not write, holding a page it may", Obstacle::folderTheUserMayNotWrite,
         std::errc::permission_denied},
    };
    // A page of many kilobytes: one rewritten in place would show a cut.
    const fs::path manyMaps = folder.path() / "many";
    for (int i = 0; i < 300; ++i) {
        writeFile(manyMaps / ("a map with a rather long name, number " + std::to_string(i) + ".upk"), "map");
    }

    int rowsRun = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path rowFolder = folder.path() / ("row " + std::to_string(&row - rows));
        hostFolder = rowFolder / "host";
        traceFile = rowFolder / "trace.jsonl";
        const fs::path settings = hostFolder / "plugins" / "settings";
        const fs::path page = settings / "TarnwickPlugin.set";
        fs::create_directories(settings);
        fs::create_directories(hostFolder / "data");

        std::optional<testsupport::SmallFileSystem> smallFileSystem;
        std::optional<uid_t> user;
        if (row.obstacle == Obstacle::folderTheUserMayNotWrite) {
            if (::geteuid() == 0) {
                // Root writes every folder: run the host as nobody instead.
                user = 65534;
                ::chown(rowFolder.c_str(), *user, *user);
                for (auto& entry : fs::recursive_directory_iterator(rowFolder)) {
                    ::lchown(entry.path().c_str(), *user, *user);
                }
            }
        } else {
            smallFileSystem.emplace(settings, "size=64k,nr_inodes=16");
            if (!*smallFileSystem) {
                std::cout << "[  SKIPPED ] " << row.name << ": cannot mount a tmpfs here ("
                          << smallFileSystem->refused << ")\n";
                continue;
            }
        }
        ++rowsRun;

        Limits limits;
        limits.runAs = user;
        start(limits);
        send({setting(names::mapsFolder, mapsFolderText())});
        ASSERT_TRUE(awaitTrace([&] { return readFile(page) == listedPage; }));
        const std::string previous = readFile(page);
        switch (row.obstacle) {
        case Obstacle::noInodeLeft: smallFileSystem->fillWithFiles(); break;
        case Obstacle::noBlockLeft: smallFileSystem->fillWithBytes(); break;
        case Obstacle::readOnlyFileSystem:
            ASSERT_EQ(::mount(nullptr, settings.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
                << std::strerror(errno);
            break;
        case Obstacle::folderTheUserMayNotWrite:
            fs::permissions(settings, fs::perms::owner_read | fs::perms::owner_exec);
            ASSERT_EQ(fs::status(page).permissions() & fs::perms::owner_write, fs::perms::owner_write);
            break;
        }
        const auto entries = entriesOf(settings);

        send({setting(names::mapsFolder, manyMaps.string() + "/")});
        ASSERT_TRUE(awaitTrace([&] { return !logLines().empty(); }));
        send("quit\n");
        EXPECT_EQ(finish(), 0);
        if (row.obstacle == Obstacle::folderTheUserMayNotWrite) {
            fs::permissions(settings, fs::perms::owner_all, fs::perm_options::add);
        }

        EXPECT_EQ(readFile(page), previous);
        EXPECT_EQ(entriesOf(settings), entries) << "nothing left beside the page";
        const auto lines = logLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines.front().find(page.string()), std::string::npos) << lines.front();
        EXPECT_NE(lines.front().find(std::make_error_code(row.error).message()), std::string::npos) << lines.front();
    }
    if (rowsRun == 0) GTEST_SKIP() << "no row could set up its obstacle here";
}


TEST_F(HostProgram, AWriteRefusedByTheFileSizeLimitOrAFullDiskFailsAloneAndTheSessionGoesOn)
{
    for (int i = 0; i < 3000; ++i) writeFile(mapsFolder / ("map number " + std::to_string(i) + ".upk"), "");
    writeFile(hostFolder / "data" / "Labs_Underpass_P.upk", std::string(200 * 1024, 'b'));
    const fs::path settingsFolder = hostFolder / "plugins" / "settings";
    const fs::path mapFolder = gameRoot / "TAGame" / "CookedPCConsole";
    struct Case {
        const char* name;
        std::optional<rlim_t> fileSizeLimit;
        bool fullDisk;  // a 64 KB tmpfs over the game's map folder
        std::string commands;
        std::vector<std::string> logged;
        fs::path kept;  // byte for byte, and alone in its folder: no temporary file beside it
    };
    const Case cases[] = {
        {"a scan of 3,000 maps under a 1 KB limit", 1024, false, setting(names::mapsFolder, mapsFolderText()) + "\n",
         {"Map scan failed", "cannot replace: File too large"}, settingsFolder / "TarnwickPlugin.set"},
        {"a restore of 200 KB under a 50 KB limit", 50 * 1024, false, names::restoreUnderpass + std::string("\n"),
         {"Underpass restore failed", "File too large"}, mapFolder / "Labs_Underpass_P.upk"},
        {"a restore onto a full disk", std::nullopt, true, names::restoreUnderpass + std::string("\n"),
         {"Underpass restore failed", "No space left on device"}, mapFolder / "Labs_Underpass_P.upk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<testsupport::SmallFileSystem> fullDisk;
        if (c.fullDisk) {
            fullDisk.emplace(mapFolder, "size=64k,nr_inodes=16");
            if (!*fullDisk) {
                std::cout << "[  SKIPPED ] " << c.name << ": cannot mount a tmpfs here (" << fullDisk->refused
                          << ")\n";
                continue;
            }
        }
        writeFile(mapFolder / "Labs_Underpass_P.upk", "the game's own map");
        fs::remove(hostFolder / "cfg" / "config.cfg");
        Limits limits;
        limits.fileSizeLimit = c.fileSizeLimit;
        limits.traced = false;  // the trace would meet the limit first
        start(limits);
        const std::string choice = setting(names::mapChoice, "chosen.upk");
        send({choice});
        ASSERT_TRUE(awaitTrace([&] { return console().find("> " + choice) != std::string::npos; }));
        const std::string before = readFile(c.kept);
        send(c.commands);
        EXPECT_EQ(finish(), 0) << "the host ended by itself: " << console();

        const std::string shown = console();
        for (const auto& part : c.logged) EXPECT_NE(shown.find(part), std::string::npos) << part << " in " << shown;
        EXPECT_EQ(readFile(c.kept), before);
        EXPECT_EQ(entriesOf(c.kept.parent_path()), std::vector<std::string>{c.kept.filename().string()});
        EXPECT_NE(readFile(hostFolder / "cfg" / "config.cfg").find(choice), std::string::npos)
            << "the config is saved";
    }
}

// The page and the Underpass map are written for the user: a link to either
// (into a synced folder, say) stays a link and what it leads to gets the new
// version; each keeps its mode and owner; a link left under the name the
// file beside it once had leads nowhere the plugin writes.
TEST_F(HostProgram, KeepsTheLinkModeAndOwnerOfWhatItReplacesAndWritesThroughNoLinkLeftBeside)
{
    const fs::path page = hostFolder / "plugins" / "settings" / "TarnwickPlugin.set";
    const fs::path underpass = gameRoot / "TAGame" / "CookedPCConsole" / "Labs_Underpass_P.upk";
    writeFile(hostFolder / "data" / "Labs_Underpass_P.upk", "original underpass");
    const fs::path synced = folder.path() / "synced";
    const fs::path victim = folder.path() / "precious.txt";
    enum class Setup { link, modeAndOwner, linkLeftBeside };
    struct Row {
        const char* name;
        fs::path file;
        Setup setup;
        std::string command;
        std::string written;
        const char* oldBesideSuffix;
    };
    const std::string scan = setting(names::mapsFolder, mapsFolderText());
    const Row rows[] = {
        {"a page that is a link", page, Setup::link, scan, listedPage, ""},
        {"a page of mode 0640 owned by another user", page, Setup::modeAndOwner, scan, listedPage, ""},
        {"a link left as TarnwickPlugin.set.new", page, Setup::linkLeftBeside, scan, listedPage, ".new"},
        {"an Underpass map that is a link", underpass, Setup::link, names::restoreUnderpass, "original underpass", ""},
        {"an Underpass map of mode 0640 owned by another user", underpass, Setup::modeAndOwner,
         names::restoreUnderpass, "original underpass", ""},
        {"a link left as Labs_Underpass_P.upk.restoring", underpass, Setup::linkLeftBeside, names::restoreUnderpass,
         "original underpass", ".restoring"},
    };
    constexpr uid_t otherUser = 65534;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(synced);
        fs::remove(row.file);
        fs::create_directories(synced);
        writeFile(victim, "precious");
        const fs::path linkedTo = synced / row.file.filename();
        const fs::path oldBeside = fs::path(row.file) += row.oldBesideSuffix;
        switch (row.setup) {
        case Setup::link:
            writeFile(linkedTo, "previous");
            fs::create_symlink(linkedTo, row.file);
            break;
        case Setup::modeAndOwner:
            if (::geteuid() != 0) {
                std::cout << "[  SKIPPED ] " << row.name << ": only root can give a file to another user\n";
                continue;
            }
            writeFile(row.file, "previous");
            ASSERT_EQ(::chown(row.file.c_str(), otherUser, otherUser), 0);
            fs::permissions(row.file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
            break;
        case Setup::linkLeftBeside:
            writeFile(row.file, "previous");
            fs::create_symlink(victim, oldBeside);
            break;
        }

        start();
        send({row.command});
        EXPECT_EQ(finish(), 0);

        switch (row.setup) {
        case Setup::link:
            EXPECT_EQ(fs::read_symlink(row.file), linkedTo) << "still a link";
            EXPECT_EQ(readFile(linkedTo), row.written);
            break;
        case Setup::modeAndOwner: {
            EXPECT_EQ(readFile(row.file), row.written);
            struct stat kept = {};
            ASSERT_EQ(::stat(row.file.c_str(), &kept), 0);
            EXPECT_EQ(kept.st_mode & 07777, 0640u);
            EXPECT_EQ(kept.st_uid, otherUser);
            EXPECT_EQ(kept.st_gid, otherUser);
            break;
        }
        case Setup::linkLeftBeside:
            EXPECT_EQ(readFile(row.file), row.written);
            EXPECT_EQ(fs::read_symlink(oldBeside), victim) << "left alone";
            fs::remove(oldBeside);
            break;
        }
        if (row.setup == Setup::link) {
            EXPECT_EQ(entriesOf(synced), std::vector<std::string>{linkedTo.filename().string()});
        }
        EXPECT_EQ(readFile(victim), "precious");
        EXPECT_EQ(entriesOf(row.file.parent_path()), std::vector<std::string>{row.file.filename().string()})
            << "nothing left beside";
    }
}

TEST_F(HostProgram, NamesWithTerminalEscapesReachTheConsoleEscapedAndTheTraceExact)
{
    const std::string name = "\x1b]0;retitled\x07 \x1b[2J.upk";
    const std::string shownName = "\\x1B]0;retitled\\x07 \\x1B[2J.upk";
    writeFile(mapsFolder / name, "map");
    start();
    send({setting(names::mapsFolder, mapsFolderText()), "page", setting(names::mapChoice, name), names::loadMap,
          "wait 0.2"});
    EXPECT_EQ(finish(), 0);
    const std::string shown = console();
    EXPECT_EQ(shown.find_first_of("\x1b\x07"), std::string::npos) << shown;
    for (const std::string& line : {") " + shownName + "\n", "runs: load_workshop \"" + mapsFolderText() + shownName,
                                    "Watching: " + mapsFolderText() + shownName + "\n"}) {
        EXPECT_NE(shown.find(line), std::string::npos) << line << " in " << shown;
    }
    EXPECT_EQ(pluginCommands("load_workshop \"" + mapsFolderText() + name + "\""), 1);
}
#endif

}  // namespace
}  // namespace tarnwick::plugin::tests
