// Runs the tarnwick-host program as a user does and reads its trace.

#include <gtest/gtest.h>

#include <optional>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include <algorithm>
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
#if defined(_WIN32)
Run runHost(const TempDir& folder, const std::string& arguments, const std::string& input = "",
            const std::string& environment = "")
{
    const auto in = folder.path() / "stdin.txt";
    writeFile(in, input);
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto open = [&](const std::filesystem::path& file, DWORD access, DWORD disposition) {
        HANDLE handle = ::CreateFileW(file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                      disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + file.string());
        return handle;
    };
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = open(in, GENERIC_READ, OPEN_EXISTING);
    startup.hStdOutput = open(folder.path() / "out.txt", GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = open(folder.path() / "err.txt", GENERIC_WRITE, CREATE_ALWAYS);

    // The same words as for the shell: single quotes become the double
    // quotes of a Windows command line, and NAME='VALUE' an inherited setting.
    std::string commandLine = fmt::format("\"{}\" {}", HOST_PROGRAM, arguments);
    std::replace(commandLine.begin(), commandLine.end(), '\'', '"');
    const auto equals = environment.find('=');
    const std::string variable = environment.substr(0, equals);
    std::optional<std::wstring> previous;
    if (!variable.empty()) {
        if (const wchar_t* set = ::_wgetenv(std::filesystem::path(variable).c_str())) previous = set;
        std::string value = environment.substr(equals + 1);
        std::erase(value, '\'');
        ::SetEnvironmentVariableW(std::filesystem::path(variable).c_str(),
                                  std::filesystem::path(value).make_preferred().c_str());
    }
    std::wstring wideCommand(commandLine.begin(), commandLine.end());
    PROCESS_INFORMATION process{};
    const BOOL started = ::CreateProcessW(nullptr, wideCommand.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                          folder.path().c_str(), &startup, &process);
    if (!variable.empty()) {
        ::SetEnvironmentVariableW(std::filesystem::path(variable).c_str(), previous ? previous->c_str() : nullptr);
    }
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) ::CloseHandle(handle);
    if (!started) throw std::runtime_error("cannot start " + commandLine);

    Run run;
    // Sixty seconds keep a hanging host from hanging the suite.
    if (::WaitForSingleObject(process.hProcess, 60'000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 124);
        ::WaitForSingleObject(process.hProcess, INFINITE);
    }
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    run.exitCode = static_cast<int>(exitCode);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    // The console streams are in text mode: lines end in CR LF.
    const auto lines = [](std::string text) {
        for (auto at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
        return text;
    };
    run.out = lines(readFile(folder.path() / "out.txt"));
    run.err = lines(readFile(folder.path() / "err.txt"));
    return run;
}
#else
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
#endif

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
#if defined(_WIN32)
    const char* perUserData = "LOCALAPPDATA";
#else
    const char* perUserData = "XDG_DATA_HOME";
#endif
    const auto run = runHost(folder, plugin + " --trace trace.jsonl", "mp_folders\n",
                             fmt::format("{}='{}/xdg'", perUserData, folder.path().string()));
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

TEST(Program, SavedVariablesSurviveARestart)
{
    TempDir folder;
    std::filesystem::create_directories(folder.path() / "host");
    const auto first = runHost(folder, plugin + " --host-dir host", "mp_value \"/my maps/\"\nmp_session 1\n");
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_NE(readFile(folder.path() / "host" / "cfg" / "config.cfg").find("mp_value \"/my maps/\"\n"),
              std::string::npos);
    const auto second = runHost(folder, plugin + " --host-dir host", "mp_value\nmp_session\n");
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.out.find("mp_value = \"/my maps/\""), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("mp_session = \"0\""), std::string::npos) << "not registered for saving";
}

TEST(Program, ExecLinesRunAfterThePluginLoadsAndBeforeTheInput)
{
    TempDir folder;
    std::filesystem::create_directories(folder.path() / "host");
    writeFile(folder.path() / "lines.cfg", "mp_echo from a file\n");
    const auto run = runHost(folder, plugin + " --host-dir host --game-root game --trace trace.jsonl"
                                              " --exec 'mp_echo first' --exec='exec lines.cfg'",
                             "mp_echo typed\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    Strings logs;
    for (const auto& event : traceOf(folder.path() / "trace.jsonl")) {
        if (event.at("event") == "log") logs.push_back(event.at("text"));
    }
    EXPECT_EQ(logs, (Strings{"first", "from a file", "typed", "unloading"}))
        << "exec finds files where the host was started, not in --game-root";
    EXPECT_EQ(run.out.find('\033'), std::string::npos) << "no colour when not on a terminal";
}

TEST(Program, VersionHelpAndDocumentedExitCodes)
{
    TempDir folder;
    const auto version = runHost(folder, "--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_NE(version.out.find("tarnwick-host 1."), std::string::npos) << version.out;
    const auto help = runHost(folder, "--help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* part : {"--exec LINE", "exit codes:", "  3  the plugin could not be loaded", "NO_COLOR"}) {
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(runHost(folder, "--exec").exitCode, 2);
    EXPECT_EQ(runHost(folder, "--host-dir=").exitCode, 2);
    EXPECT_EQ(runHost(folder, "--plugin absent.so --host-dir .").exitCode, 3);
    const auto noScript = runHost(folder, plugin + " --host-dir . missing-script.txt");
    EXPECT_EQ(noScript.exitCode, 1);
    EXPECT_NE(noScript.err.find("missing-script.txt"), std::string::npos) << noScript.err;
}

}  // namespace
}  // namespace tarnwick::host
