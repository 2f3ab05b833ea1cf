// The console as a person uses it: help, saved variables, exec, and the
// settings page driven from the console.

#include <gtest/gtest.h>

#include <sstream>

#include "TestSupport.h"

namespace tarnwick::host::tests {
namespace {

using Strings = std::vector<std::string>;

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// The first line of `text` that starts with `start`.
std::string lineOf(const std::string& text, std::string_view start)
{
    const auto at = text.find(std::string("\n").append(start));
    return at == std::string::npos ? "" : text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

class Console : public ::testing::Test {
protected:
    Console() { start(); }

    void start()
    {
        host.reset();
        console.str("");
        auto options = hostOptions(folder, &console);
        options.configFile = configFile;
        options.execFolder = folder.path();
        host = std::make_unique<Host>(options);
        host->loadPlugin(MINIMAL_PLUGIN);
    }

    // The host exits as the program does: unload, then save.
    void restart()
    {
        host->unloadPlugin();
        host->saveConfig();
        start();
    }

    TemporaryFolder folder;
    std::filesystem::path configFile = folder.path() / "host" / "cfg" / "config.cfg";
    std::ostringstream console;
    std::unique_ptr<Host> host;
};

TEST_F(Console, SavedVariablesComeBackOnRegistrationAndOthersDoNot)
{
    writeFile(configFile, "other_plugin_value \"kept\"\nmp_value \"old\"\nmp_session \"stale\"\n");
    start();
    EXPECT_EQ(host->variable("mp_value"), "old") << "restored as it was registered";
    EXPECT_EQ(host->variable("mp_session"), "0") << "registered with saving off";
    EXPECT_TRUE(host->events("cvar").empty()) << "restoring is not a set";
    EXPECT_TRUE(logTexts(*host).empty()) << "no change callable runs";

    host->execute("mp_value \"a b\"; mp_session 1");
    restart();
    EXPECT_EQ(host->variable("mp_value"), "a b");
    EXPECT_EQ(host->variable("mp_session"), "0");
    const auto saved = readFile(configFile);
    EXPECT_TRUE(contains(saved, "other_plugin_value \"kept\"\n")) << "what no plugin registered is kept";
    EXPECT_TRUE(contains(saved, "mp_value \"a b\"\n")) << saved;
}

TEST_F(Console, ValuesOfAnUnloadedPluginAreStillSaved)
{
    host->execute("mp_value chosen; plugin unload");
    host->runPending();
    ASSERT_FALSE(host->hasPlugin());
    host->saveConfig();
    EXPECT_TRUE(contains(readFile(configFile), "mp_value \"chosen\"\n"));
}

TEST_F(Console, AValueNoConsoleLineCanHoldKeepsTheLastSavedOneWithAWarning)
{
    host->execute("mp_value good");
    restart();
    host->setVariable("mp_value", "say \"hi\"");
    host->unloadPlugin();
    host->saveConfig();
    EXPECT_TRUE(contains(console.str(), "mp_value is not saved: a console line cannot hold")) << console.str();
    start();
    EXPECT_EQ(host->variable("mp_value"), "good");
}

TEST_F(Console, HelpShowsDescriptionsAndMistypedNamesGetSuggestions)
{
    host->execute("help");
    host->execute("help mp_value");
    host->execute("help mp_echo");
    host->execute("help exec");
    host->execute("mp_ehco hi");
    host->execute("help nothing_like_it");
    const auto shown = console.str();
    // The list: a name a line, the descriptions in one column.
    const auto echo = lineOf(shown, "  mp_echo ");
    const auto value = lineOf(shown, "  mp_value ");
    EXPECT_TRUE(echo.ends_with(" test command mp_echo")) << shown;
    EXPECT_TRUE(value.ends_with(" logs its changes (now \"start\")")) << shown;
    EXPECT_EQ(echo.find("test command"), value.find("logs its changes")) << shown;
    EXPECT_TRUE(contains(shown, "mp_value (variable of MinimalPlugin): logs its changes\n"
                                "  value \"start\", default \"start\", saved in the config file\n"));
    EXPECT_TRUE(contains(shown, "mp_echo (command of MinimalPlugin): test command mp_echo\n"));
    EXPECT_TRUE(contains(shown, "exec (host command): exec FILE: run the console lines of FILE\n"));
    EXPECT_TRUE(contains(shown, "unknown command or variable \"mp_ehco\"; did you mean mp_echo?"));
    EXPECT_TRUE(contains(shown, "unknown command or variable \"nothing_like_it\" (type help for the list)"));
    const auto names = host->consoleNames();
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_NE(std::find(names.begin(), names.end(), "mp_session"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "exec"), names.end());
}

TEST_F(Console, ExecRunsAFileLineByLineBeforeTheRestOfItsLine)
{
    writeFile(folder.path() / "steps.cfg", "mp_echo one\r\n// a comment\n\nwait 1; mp_echo two\nbad \"quote\n");
    host->execute("exec steps.cfg; mp_echo after");
    host->runPending();
    EXPECT_EQ(logTexts(*host), (Strings{"one"})) << "the file's wait holds everything after it";
    host->runFor(Host::Seconds(1));
    EXPECT_EQ(logTexts(*host), (Strings{"one", "two", "after"}));
    EXPECT_TRUE(contains(console.str(), "steps.cfg:5: cannot run \"bad \"quote\": unterminated double quote"))
        << console.str();

    writeFile(configFile.parent_path() / "beside.cfg", "mp_echo beside the config\n");
    writeFile(folder.path() / "self.cfg", "mp_echo again\nexec self.cfg\n");
    host->execute("exec beside.cfg; exec self.cfg; exec missing.cfg; exec");
    host->runFor(Host::Seconds(1));
    const auto logs = logTexts(*host);
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "beside the config"), 1);
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "again"), 16) << "a file that execs itself stops";
    const auto shown = console.str();
    EXPECT_TRUE(contains(shown, "files nested more than 16 deep; does self.cfg exec itself?")) << shown;
    EXPECT_TRUE(contains(shown, "exec: no file missing.cfg (looked for"));
    EXPECT_TRUE(contains(shown, "usage: exec FILE"));
}

TEST_F(Console, PageControlsSetTheirVariablesAndButtonsRunTheirCommands)
{
    writeFile(folder.path() / "host" / "plugins" / "settings" / "page.set",
              "Test Page\n6|Value|mp_value|start@start&Other choice@other\n12|Typed|mp_value\n"
              "1|Session|mp_session\n0|Echo|mp_echo\n1|Absent|no_such_variable\n");
    host->execute("page pick 1 2");
    host->execute("page pick mp_value start");
    host->execute("page type 2 \"typed text\"");
    host->execute("page tick 3; page tick mp_session; page tick 3");
    host->execute("page press 4");
    EXPECT_EQ(host->variable("mp_value"), "typed text");
    EXPECT_EQ(host->variable("mp_session"), "1");
    Strings sets;
    for (const auto& event : host->events("cvar")) sets.push_back(event.at("name").get<std::string>() + "=" +
                                                                  event.at("value").get<std::string>());
    EXPECT_EQ(sets, (Strings{"mp_value=other", "mp_value=start", "mp_value=typed text", "mp_session=1",
                             "mp_session=0", "mp_session=1"}));
    const auto commands = host->events("command");
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back().at("text"), "mp_echo") << "the button runs its command as a console line";
    EXPECT_EQ(commands.back().at("from"), "console");
    EXPECT_EQ(logTexts(*host).back(), "");

    console.str("");
    host->execute("page pick 3 1");
    host->execute("page pick 1 9");
    host->execute("page pick 1 x");
    host->execute("page press 7");
    host->execute("page tick nowhere");
    host->execute("page tick 5");
    host->execute("page type 2");
    host->execute("page zap 1");
    const auto shown = console.str();
    EXPECT_TRUE(contains(shown, "page pick: Session is a check box; use page tick 3")) << shown;
    EXPECT_TRUE(contains(shown, "Value has no option \"9\"; pick a number from 1 to 2 or an option's text"));
    EXPECT_TRUE(contains(shown, "Value has no option \"x\""));
    EXPECT_TRUE(contains(shown, "page press: no control 7; the pages have controls 1 to 5"));
    EXPECT_TRUE(contains(shown, "page tick: \"nowhere\" is neither a control number (1 to 5) nor the name"));
    EXPECT_TRUE(contains(shown, "page tick: there is no variable no_such_variable for Absent"));
    EXPECT_TRUE(contains(shown, "usage: page type CONTROL TEXT"));
    EXPECT_TRUE(contains(shown, "page: unknown action \"zap\""));
    EXPECT_EQ(host->variable("mp_value"), "typed text") << "mistakes change nothing";

    console.str("");
    host->execute("page");
    EXPECT_TRUE(containsInOrder(console.str(), {"1. Value", "(drop-down mp_value)\n", "1) start\n",
                                                "2) Other choice -> other\n",
                                                "chosen: \"typed text\" (not in the list)"}))
        << console.str();
}

TEST_F(Console, ColourOnlyWhenAsked)
{
    host->execute("no_such_thing; mp_throw");
    EXPECT_EQ(console.str().find('\033'), std::string::npos);
    host->unloadPlugin();  // one plugin object per library
    auto options = hostOptions(folder, &console);
    options.colour = true;
    Host coloured(options);
    coloured.loadPlugin(MINIMAL_PLUGIN);
    coloured.execute("mp_throw");
    EXPECT_TRUE(contains(console.str(), "\033[1;31merror:\033[0m command mp_throw failed"));
    coloured.execute("no_such\033[2J");
    EXPECT_TRUE(contains(console.str(), "\033[33munknown command or variable \"no_such\\x1B[2J\""))
        << "outside text is escaped inside the colour";
}

}  // namespace
}  // namespace tarnwick::host::tests
