// Runs the tarnwick-host program as a user does and reads its trace.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include <fmt/format.h>

#include "support.h"

namespace tarnwick::host {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using Strings = std::vector<std::string>;

struct Run {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the host in `folder` with `arguments` (already shell-quoted), `input`
// on its standard input and `environment` settings in front.
Run runHost(const TempDir& folder, const std::string& arguments, const std::string& input = "",
            const std::string& environment = "")
{
    const auto in = folder.path() / "stdin.txt";
    writeFile(in, input);
    // timeout(1) keeps a hanging host from hanging the suite.
    const auto command = fmt::format("cd '{0}' && {1} timeout 60 '{2}' {3} <'{4}' >'{0}/out.txt' 2>'{0}/err.txt'",
                                     folder.path().string(), environment, HOST_PROGRAM, arguments, in.string());
    const int status = std::system(command.c_str());
    Run run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readFile(folder.path() / "out.txt");
    run.err = readFile(folder.path() / "err.txt");
    return run;
}

std::vector<nlohmann::json> traceOf(const std::filesystem::path& file)
{
    std::vector<nlohmann::json> events;
    std::istringstream lines(readFile(file));
    for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line));
    return events;
}

Strings kindsOf(const std::vector<nlohmann::json>& events)
{
    Strings kinds;
    for (const auto& event : events) kinds.push_back(event.at("event"));
    return kinds;
}

const std::string plugin = fmt::format("--plugin '{}'", MINIMAL_PLUGIN);

TEST(Program, RunsAScriptAndTracesEveryInteraction)
{
    TempDir folder;
    std::filesystem::create_directories(folder.path() / "host");
    writeFile(folder.path() / "script.txt",
              "mp_echo hello\r\n"
              "mp_value 42\n"
              "mp_later 0.2 tick; wait 0.5\n"
              "load_workshop \"/maps/a b.upk\"\n"
              "mp_echo last");  // no final line break
    const auto run = runHost(folder, plugin + " --host-dir host --trace trace.jsonl script.txt");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("[MinimalPlugin] hello\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("> mp_value 42\n"), std::string::npos) << "script lines are echoed";

    const auto events = traceOf(folder.path() / "trace.jsonl");
    EXPECT_EQ(kindsOf(events), (Strings{"plugin", "command", "log", "command", "cvar", "log", "command",
                                        "timer_set", "timer_fired", "log", "command", "preload", "log", "command",
                                        "log", "plugin", "log"}));
    EXPECT_EQ(events[2].at("text"), "hello") << "the carriage return is not part of the line";
    EXPECT_EQ(events[11].at("map"), "/maps/a b.upk");
    EXPECT_EQ(events[14].at("text"), "last");
    EXPECT_EQ(events[15].at("action"), "unload");
    // The timer fired during the wait, the map load came after it.
    EXPECT_GE(events[10].at("t").get<double>() - events[7].at("t").get<double>(), 0.5);
    EXPECT_LT(events[8].at("t").get<double>(), events[10].at("t").get<double>());
}

TEST(Program, ReadsStandardInputUntilQuit)
{
    TempDir folder;
    std::filesystem::create_directories(folder.path() / "host");
    const auto run = runHost(folder, plugin + " --host-dir host --trace trace.jsonl", "mp_echo piped\nquit\nmp_echo never\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto events = traceOf(folder.path() / "trace.jsonl");
    EXPECT_EQ(kindsOf(events), (Strings{"plugin", "command", "log", "command", "plugin", "log"}));
}

TEST(Program, GameRootBecomesTheWorkingDirectoryAndPathsStayRelativeToTheStart)
{
    TempDir folder;
    std::filesystem::create_directories(folder.path() / "host");
    writeFile(folder.path() / "script.txt", "mp_cwd\n");
    const auto run = runHost(folder, plugin + " --host-dir host --game-root game --trace trace.jsonl script.txt");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto events = traceOf(folder.path() / "trace.jsonl");
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[2].at("text"), (folder.path() / "game" / "Binaries" / "Win64").string());
}

TEST(Program, DefaultHostFolderIsCreatedWithItsSubfolders)
{
    TempDir folder;
    const auto run = runHost(folder, plugin + " --trace trace.jsonl", "mp_folders\n",
                             fmt::format("XDG_DATA_HOME='{}/xdg'", folder.path().string()));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto hostFolder = folder.path() / "xdg" / "tarnwick";
    EXPECT_TRUE(std::filesystem::is_directory(hostFolder / "plugins" / "settings"));
    EXPECT_TRUE(std::filesystem::is_directory(hostFolder / "data"));
    const auto events = traceOf(folder.path() / "trace.jsonl");
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[2].at("text"), hostFolder.string() + "|" + (hostFolder / "data").string());
}

TEST(Program, FailsClearlyWhenThePluginCannotBeLoaded)
{
    TempDir folder;
    const auto oldApi = runHost(folder, fmt::format("--plugin '{}' --host-dir .", OLD_API_PLUGIN));
    EXPECT_NE(oldApi.exitCode, 0);
    EXPECT_NE(oldApi.err.find("host API version 94"), std::string::npos) << oldApi.err;

    const auto absent = runHost(folder, "--plugin absent.so --host-dir .");
    EXPECT_NE(absent.exitCode, 0);
    EXPECT_NE(absent.err.find("absent.so"), std::string::npos) << absent.err;

    const auto badOption = runHost(folder, "--plugn x");
    EXPECT_EQ(badOption.exitCode, 2);
    EXPECT_NE(badOption.err.find("unknown option --plugn"), std::string::npos) << badOption.err;
}

}  // namespace
}  // namespace tarnwick::host
