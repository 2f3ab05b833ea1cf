#include <gtest/gtest.h>

#include <sstream>

#include "TestSupport.h"
#include "Text.h"

namespace tarnwick::host::tests {
namespace {

using Strings = std::vector<std::string>;

std::string loadError(Host& host, const std::filesystem::path& library)
{
    try {
        host.loadPlugin(library);
    } catch (const PluginLoadError& error) {
        return error.what();
    }
    return {};
}

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

class Loaded : public ::testing::Test {
protected:
    enum class Unload { drops, keepsCallables };
    explicit Loaded(Unload unload = Unload::drops) : host(options(unload)) { host.loadPlugin(MINIMAL_PLUGIN); }
    // Called while constructing `host`: `folder` and `console` exist by then.
    HostOptions options(Unload unload)
    {
        auto result = hostOptions(folder, &console);
        result.keepCallablesAfterUnload = unload == Unload::keepsCallables;
        return result;
    }
    TemporaryFolder folder;
    std::ostringstream console;
    Host host;
};

TEST(Loader, RefusesWhatIsNotAPluginForThisHostWithAClearMessage)
{
    TemporaryFolder folder;
    std::ostringstream console;
    Host host(hostOptions(folder, &console));
    writeFile(folder.path() / "text.so", "not a library");

    const auto missing = loadError(host, folder.path() / "absent.so");
    EXPECT_TRUE(contains(missing, "absent.so")) << missing;
    EXPECT_TRUE(contains(loadError(host, folder.path() / "text.so"), "cannot load plugin library"));
    const auto noExports = loadError(host, NO_EXPORTS_PLUGIN);
    EXPECT_TRUE(contains(noExports, "does not export exports")) << noExports;
    const auto oldApi = loadError(host, OLD_API_PLUGIN);
    EXPECT_TRUE(contains(oldApi, "host API version 94") && contains(oldApi, "version 95")) << oldApi;
    EXPECT_FALSE(host.hasPlugin());
    EXPECT_TRUE(host.events("plugin").empty());

    host.loadPlugin(MINIMAL_PLUGIN);
    ASSERT_TRUE(host.hasPlugin());
    EXPECT_EQ(host.plugin().className, "MinimalPlugin");
    EXPECT_EQ(host.plugin().displayName, "Minimal Test Plugin");
    EXPECT_EQ(host.plugin().version, "0.1.2");
    EXPECT_EQ(host.plugin().pluginType, 1);
    EXPECT_TRUE(contains(loadError(host, MINIMAL_PLUGIN), "loaded already"));
    const auto loads = host.events("plugin");
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0].at("action"), "load");
    EXPECT_EQ(loads[0].at("name"), "MinimalPlugin");
    EXPECT_EQ(loads[0].at("version"), "0.1.2");
    EXPECT_EQ(loads[0].at("api"), 95);
}

TEST_F(Loaded, CommandsGetTheirWordsWithTheNameFirst)
{
    host.execute(R"(mp_words a "b c" ""; mp_words)");
    EXPECT_EQ(logTexts(host), (Strings{"mp_words|a|b c|", "mp_words"}));
    const auto commands = host.events("command");
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].at("from"), "console");
}

TEST_F(Loaded, VariablesSetFromTheConsoleAndThePluginRunChangeCallables)
{
    EXPECT_EQ(host.variable("mp_value"), "start");
    EXPECT_TRUE(host.events("cvar").empty()) << "registration is not a set";
    host.execute("mp_value 42");
    host.execute("mp_set mp_value 7");
    host.execute("mp_value 7");
    host.setVariable("mp_value", "line\nbreak");
    EXPECT_EQ(logTexts(host),
              (Strings{"mp_value start -> 42", "mp_value 42 -> 7", "mp_value 7 -> 7", "mp_value 7 -> line\nbreak"}));
    const auto sets = host.events("cvar");
    ASSERT_EQ(sets.size(), 4u);
    EXPECT_EQ(sets[0].at("name"), "mp_value");
    EXPECT_EQ(sets[0].at("value"), "42");
    host.execute("mp_value");
    EXPECT_TRUE(contains(console.str(), "mp_value = \"line\\x0Abreak\"")) << "the console shows the line break escaped";
    EXPECT_THROW(host.setVariable("no_such", "1"), std::invalid_argument);
}

TEST_F(Loaded, PluginCommandsAreTracedAsThePlugins)
{
    host.execute(R"(mp_exec "mp_echo one; mp_echo two")");
    EXPECT_EQ(logTexts(host), (Strings{"one", "two"}));
    const auto commands = host.events("command");
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1].at("text"), "mp_echo one; mp_echo two") << "one line, as the plugin gave it";
    EXPECT_EQ(commands[1].at("from"), "plugin");
    EXPECT_TRUE(contains(console.str(), "[MinimalPlugin] one\n"));
}

TEST_F(Loaded, MapLoadsFireThePreLoadHookOnTheNextTurn)
{
    // Narrow text, as typed; the trace holds UTF-8.
    host.execute("load_workshop \"" + narrowText(u8"/maps/caf\u00E9 x.upk") + "\"");
    EXPECT_TRUE(host.events("preload").empty()) << "not nested inside the command";
    host.runPending();
    host.execute("load_freeplay; preload Labs_Underpass_P");
    host.runPending();
    const auto preloads = host.events("preload");
    ASSERT_EQ(preloads.size(), 3u);
    EXPECT_EQ(preloads[0].at("map"), "/maps/caf\xC3\xA9 x.upk");
    EXPECT_EQ(preloads[1].at("map"), "Park_P");
    const std::string suffix = " on Function ProjectX.EngineShare_X.EventPreLoadMap";
    EXPECT_EQ(logTexts(host), (Strings{"preload /maps/caf\xC3\xA9 x.upk" + suffix, "preload Park_P" + suffix,
                                       "preload Labs_Underpass_P" + suffix}));
}

TEST_F(Loaded, MapNameThatIsNotUtf8FiresNothing)
{
    const auto notText = bytesThatAreNoText();
    if (!notText) GTEST_SKIP() << "every byte is a character in " << text::narrowEncodingName();
    host.startMapLoad("/maps/" + *notText + ".upk");
    host.runPending();
    EXPECT_TRUE(host.events("preload").empty());
    EXPECT_TRUE(logTexts(host).empty());
    const auto errors = host.events("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(contains(errors[0].at("text"), "/maps/\\xFF\\xFE.upk"));
}

TEST_F(Loaded, ExceptionsFromPluginCallablesBecomeErrorsAndTheHostGoesOn)
{
    host.execute("mp_throw");
    host.execute("mp_throw_later");
    host.runPending();
    host.execute("mp_fail 1");
    host.execute("preload Park_P");
    host.runPending();
    host.execute("mp_echo alive");
    Strings errors;
    for (const auto& error : host.events("error")) errors.push_back(error.at("text"));
    EXPECT_EQ(errors, (Strings{"command mp_throw failed: mp_throw was told to fail",
                               "timer failed: timer was told to fail",
                               "change callable of mp_fail failed: mp_fail is set",
                               "hook on Function ProjectX.EngineShare_X.EventPreLoadMap failed: hook was told to fail"}));
    EXPECT_EQ(logTexts(host), (Strings{"alive"}));
    EXPECT_TRUE(contains(console.str(), "error: command mp_throw failed"));
}

TEST_F(Loaded, UnloadDropsEverythingThePluginRegistered)
{
    host.execute("mp_later 1 orphan");
    host.unloadPlugin();
    EXPECT_FALSE(host.hasPlugin());
    EXPECT_FALSE(host.hasCommand("mp_echo"));
    EXPECT_EQ(host.variable("mp_value"), std::nullopt);
    host.execute("preload Park_P; mp_echo gone");
    host.runFor(Host::Seconds(2));
    EXPECT_EQ(logTexts(host), (Strings{"unloading"}));
    EXPECT_TRUE(contains(console.str(), "unknown command or variable \"mp_echo\""));
    const auto plugin = host.events("plugin");
    ASSERT_EQ(plugin.size(), 2u);
    EXPECT_EQ(plugin[1].at("action"), "unload");

    host.execute("mp_value 5");
    host.execute("plugin load");
    ASSERT_TRUE(host.hasPlugin());
    EXPECT_EQ(host.variable("mp_value"), "start");
}

TEST_F(Loaded, UnloadAskedForInsideAPluginCallWaitsUntilItReturns)
{
    host.execute("mp_unload");
    EXPECT_EQ(logTexts(host), (Strings{"still running"}));
    EXPECT_TRUE(host.hasPlugin());
    host.runPending();
    EXPECT_FALSE(host.hasPlugin());
}

TEST_F(Loaded, ConsoleMistakesGetClearMessages)
{
    host.execute(R"(load_workshop "/maps/a.upk)");
    host.execute("load_workshop");
    host.execute("no_such_thing 1");
    host.execute("plugin reload");
    host.runPending();
    EXPECT_TRUE(host.events("preload").empty());
    const auto shown = console.str();
    EXPECT_TRUE(contains(shown, "unterminated double quote")) << shown;
    EXPECT_TRUE(contains(shown, "usage: load_workshop PATH"));
    EXPECT_TRUE(contains(shown, "unknown command or variable \"no_such_thing\""));
    EXPECT_TRUE(contains(shown, "usage: plugin load [FILE] | plugin unload"));
}

TEST_F(Loaded, QuitStopsTakingInput)
{
    host.postLine("mp_echo before");
    host.postLine("quit");
    host.postLine("mp_echo never");
    host.run();
    EXPECT_TRUE(host.quitRequested());
    EXPECT_EQ(logTexts(host), (Strings{"before"}));
}

TEST_F(Loaded, EndOfInputEndsTheRunAfterTheLastLine)
{
    host.postLine("mp_echo last");
    host.postEndOfInput();
    host.run();
    EXPECT_EQ(logTexts(host), (Strings{"last"}));
}

TEST_F(Loaded, FoldersAreThoseTheHostWasGiven)
{
    host.execute("mp_folders");
    EXPECT_EQ(logTexts(host), (Strings{(folder.path() / "host").string() + "|" + (folder.path() / "data").string()}));
}

TEST_F(Loaded, SettingsPagesAreReReadAndShown)
{
    const auto settings = folder.path() / "host" / "plugins" / "settings";
    writeFile(settings / "b.set", "Second\r\n1|Fail|mp_fail\r\nbroken line\r\n");
    writeFile(settings / "a.set", "First\n6|Value|mp_value|start@start&other@other\n0|Echo|mp_echo\n");
    writeFile(settings / "notes.txt", "not a page");
    host.execute("cl_settings_refreshplugins");
    const auto read = host.events("settings");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].at("file"), (settings / "a.set").string());
    EXPECT_EQ(read[1].at("file"), (settings / "b.set").string());
    const auto shown = console.str();
    EXPECT_TRUE(contains(shown, "== First ==\n  1. Value  (drop-down mp_value)\n     * 1) start\n       2) other\n"))
        << shown;
    EXPECT_TRUE(contains(shown, "== Second ==\n  3. [ ] Fail  (check box mp_fail)")) << "numbered on across pages";
    EXPECT_TRUE(contains(shown, "(line 3 skipped:"));
}

TEST(Trace, EveryLineIsJsonEvenForTextThatIsNotUtf8)
{
    const auto notText = bytesThatAreNoText();
    if (!notText) GTEST_SKIP() << "every byte is a character in " << text::narrowEncodingName();
    TemporaryFolder folder;
    std::ostringstream console;
    auto options = hostOptions(folder, &console);
    options.tracePath = folder.path() / "trace.jsonl";
    {
        Host host(options);
        host.loadPlugin(MINIMAL_PLUGIN);
        host.execute("mp_echo " + *notText + " end");
#if defined(_WIN32)
        host.execute("mp_value " + *notText);
#else
        host.execute("mp_value \xC0\x80");  // an overlong form
#endif
        host.execute("mp_later 1 x");
        host.runFor(Host::Seconds(1.5));
        EXPECT_EQ(logTexts(host).front(), "\\xFF\\xFE end");
    }
    std::istringstream lines(readFile(*options.tracePath));
    std::vector<nlohmann::json> events;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_NO_THROW(events.push_back(nlohmann::json::parse(line))) << line;
    }
    Strings kinds;
    double previous = 0;
    for (const auto& event : events) {
        kinds.push_back(event.at("event"));
        EXPECT_GE(event.at("t").get<double>(), previous);
        previous = event.at("t");
    }
    EXPECT_EQ(kinds, (Strings{"plugin", "command", "log", "command", "cvar", "log", "command", "timer_set",
                              "timer_fired", "log", "plugin", "log"}));
#if defined(_WIN32)
    EXPECT_EQ(events[4].at("value"), "\\xFF\\xFE");
#else
    EXPECT_EQ(events[4].at("value"), "\\xC0\\x80");
#endif
    EXPECT_EQ(events[7].at("delay"), 1.0);
}

TEST(Trace, UnwritableTraceFileIsAnErrorWithTheSystemCode)
{
    TemporaryFolder folder;
    auto options = hostOptions(folder, nullptr);
    options.tracePath = folder.path() / "missing" / "trace.jsonl";
    try {
        Host host(options);
        ADD_FAILURE() << "host started without its trace file";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
        EXPECT_TRUE(contains(error.what(), "trace.jsonl"));
    }
}

class KeepingHost : public Loaded {
protected:
    KeepingHost() : Loaded(Unload::keepsCallables) {}
};

TEST_F(KeepingHost, KeepsTheCallablesOfAnUnloadedPluginLive)
{
    host.execute("mp_later_kept 1 after");
    host.unloadPlugin();
    EXPECT_FALSE(host.hasPlugin());
    EXPECT_TRUE(host.hasCommand("mp_echo"));
    host.runFor(Host::Seconds(2));
    EXPECT_EQ(logTexts(host), (Strings{"unloading", "kept after"}));
}

}  // namespace
}  // namespace tarnwick::host::tests
