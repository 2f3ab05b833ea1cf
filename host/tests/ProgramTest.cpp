// Runs the tarnwick-host program as a user does and reads its trace.

#include <gtest/gtest.h>

#include <optional>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "TestSupport.h"
#include "Text.h"

namespace tarnwick::host::tests {
namespace {

using Strings = std::vector<std::string>;

struct Run {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the host in `folder` with `arguments` (split into words as the shell
// splits them, single quotes keeping spaces), `input` on its standard input
// and an `environment` setting NAME='VALUE'.
Run runHost(const TemporaryFolder& folder, const std::string& arguments, const std::string& input = "",
            std::string environment = "")
{
    Strings argv{HOST_PROGRAM};
    bool quoted = false;
    bool inWord = false;
    for (const char c : arguments) {
        if (c == ' ' && !quoted) {
            inWord = false;
            continue;
        }
        if (!std::exchange(inWord, true)) argv.emplace_back();
        if (c == '\'') {
            quoted = !quoted;
        } else {
            argv.back() += c;
        }
    }
    testsupport::ChildOptions options;
    options.workingFolder = folder.path();
    std::erase(environment, '\'');
    if (const auto equals = environment.find('='); equals != std::string::npos) {
        const auto value = std::filesystem::path(environment.substr(equals + 1)).make_preferred();
        options.environment.push_back(environment.substr(0, equals + 1) + value.string());
    }
    auto finished = testsupport::run(argv, input, options);
#if defined(_WIN32)
    // The console streams are in text mode: lines end in CR LF.
    for (auto* text : {&finished.out, &finished.err}) {
        for (auto at = text->find("\r\n"); at != std::string::npos; at = text->find("\r\n", at)) text->erase(at, 1);
    }
#endif
    return {finished.status, finished.out, finished.err};
}

#if !defined(_WIN32)
using namespace std::chrono_literals;
// The host as a child process, for what a shell line cannot arrange: a
// signal at a chosen moment, an output reader that goes away, the memory the
// kernel counts for it. `input`, when given, is opened as standard input
// instead of the pipe.
class Child : public testsupport::ChildProcess {
public:
    Child(const TemporaryFolder& folder, Strings argv, std::optional<std::filesystem::path> input = std::nullopt)
        : ChildProcess(std::move(argv), options(folder, std::move(input)))
    {
    }

    // A field of /proc/PID/status in kB, such as VmRSS.
    long memory(std::string_view field) const
    {
        std::ifstream status(fmt::format("/proc/{}/status", pid()));
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with(field) && line[field.size()] == ':') return std::stol(line.substr(field.size() + 1));
        }
        return -1;
    }

private:
    static testsupport::ChildOptions options(const TemporaryFolder& folder, std::optional<std::filesystem::path> input)
    {
        testsupport::ChildOptions options;
        options.workingFolder = folder.path();
        options.inputFile = std::move(input);
        return options;
    }
};

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
    TemporaryFolder folder;
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
    TemporaryFolder folder;
    std::filesystem::create_directories(folder.path() / "host");
    const auto run = runHost(folder, plugin + " --host-dir host --trace trace.jsonl", "mp_echo piped\nquit\nmp_echo never\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto events = traceOf(folder.path() / "trace.jsonl");
    EXPECT_EQ(kindsOf(events), (Strings{"plugin", "command", "log", "command", "plugin", "log"}));
}

TEST(Program, GameRootBecomesTheWorkingDirectoryAndPathsStayRelativeToTheStart)
{
    TemporaryFolder folder;
    std::filesystem::create_directories(folder.path() / "host");
    writeFile(folder.path() / "script.txt", "mp_cwd\n");
    const auto run = runHost(folder, plugin + " --host-dir host --game-root game --trace trace.jsonl script.txt");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto events = traceOf(folder.path() / "trace.jsonl");
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[2].at("text"), (folder.path() / "game" / "Binaries" / "Win64").string());
}

TEST(Program, HostFoldersGetTheirSubfoldersAndTheConsoleSaysSo)
{
#if defined(_WIN32)
    const char* perUserData = "LOCALAPPDATA";
#else
    const char* perUserData = "XDG_DATA_HOME";
#endif
    struct Case {
        const char* name;
        std::string arguments;
        std::string hostFolder;  // relative to the test's folder
        std::string dataFolder;
    };
    const Case cases[] = {
        {"the default folder", "", "xdg/tarnwick", "xdg/tarnwick/data"},
        {"a fresh --host-dir", "--host-dir fresh", "fresh", "fresh/data"},
        {"a --host-dir without its subfolders", "--host-dir bare", "bare", "bare/data"},
        {"a --data-dir elsewhere", "--host-dir other --data-dir elsewhere/data", "other", "elsewhere/data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryFolder folder;
        std::filesystem::create_directories(folder.path() / "bare");
        const auto hostFolder = folder.path() / std::filesystem::path(c.hostFolder).make_preferred();
        const auto dataFolder = folder.path() / std::filesystem::path(c.dataFolder).make_preferred();
        const auto environment = fmt::format("{}='{}/xdg'", perUserData, folder.path().string());
        const auto run = runHost(folder, plugin + " --trace trace.jsonl " + c.arguments, "mp_folders\npage\n",
                                 environment);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        for (const auto& made : {hostFolder / "plugins" / "settings", dataFolder}) {
            EXPECT_TRUE(std::filesystem::is_directory(made)) << made.string();
            EXPECT_NE(run.out.find("created the folder " + made.string() + "\n"), std::string::npos) << run.out;
        }
        EXPECT_NE(run.out.find("no settings pages in"), std::string::npos) << "the settings folder reads: " << run.out;
        const auto events = traceOf(folder.path() / "trace.jsonl");
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[2].at("text"), hostFolder.string() + "|" + dataFolder.string());

        const auto again = runHost(folder, plugin + " " + c.arguments, "", environment);
        EXPECT_EQ(again.out.find("created the folder"), std::string::npos) << "made once: " << again.out;
    }
}

TEST(Program, FailsClearlyWhenThePluginCannotBeLoaded)
{
    TemporaryFolder folder;
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
    TemporaryFolder folder;
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
    TemporaryFolder folder;
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
    TemporaryFolder folder;
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
    std::filesystem::create_directories(folder.path() / "folder-script");
    for (const char* script : {"missing-script.txt", "folder-script"}) {
        const auto unreadable = runHost(folder, plugin + " --host-dir . " + script);
        EXPECT_EQ(unreadable.exitCode, 1) << script;
        EXPECT_NE(unreadable.err.find(script), std::string::npos) << unreadable.err;
        EXPECT_EQ(unreadable.out.find("loaded"), std::string::npos) << "input that cannot be read stops it first";
    }
}

TEST(Program, ControlCharactersReachTheConsoleEscapedAndTheTraceExact)
{
    TemporaryFolder folder;
    writeFile(folder.path() / "host" / "plugins" / "settings" / "page.set",
              "Title \x1b]0;retitled\x07\n6|Pick \x1b[2J|mp_value|clear\x1b[2J@clear\x1b[2J&\xc2\x9b" "31m@red\n");
    const auto run = runHost(folder, plugin + " --host-dir host --trace trace.jsonl",
                             "mp_echo \"\x1b]0;retitled\x07\"\nmp_exec \"mp_echo \x1b[2J\"\npage\nno_such\x08\x7f\n");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto raw = std::find_if(run.out.begin(), run.out.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\n') || byte == 0x7F;
    });
    EXPECT_EQ(raw, run.out.end()) << "a control character reached the console at " << (raw - run.out.begin());
    // A C1 control exists only in UTF-8 here; in a code page of single bytes
    // these two bytes are two characters.
    const bool utf8 = text::narrowEncodingName() == "UTF-8";
    if (utf8) {
        EXPECT_EQ(run.out.find("\xc2\x9b"), std::string::npos) << "nor a C1 one";
    }
    for (const char* shown : {"[MinimalPlugin] \\x1B]0;retitled\\x07\n", "runs: mp_echo \\x1B[2J\n",
                              "== Title \\x1B]0;retitled\\x07 ==", "Pick \\x1B[2J  (drop-down mp_value)",
                              utf8 ? "2) \\u009B31m -> red" : "2) \xc2\x9b" "31m -> red",
                              "unknown command or variable \"no_such\\x08\\x7F\""}) {
        EXPECT_NE(run.out.find(shown), std::string::npos) << shown << " in\n" << run.out;
    }
    Strings logs;
    for (const auto& event : traceOf(folder.path() / "trace.jsonl")) {
        if (event.at("event") == "log") logs.push_back(event.at("text"));
    }
    ASSERT_GE(logs.size(), 2u);
    EXPECT_EQ(logs[0], "\x1b]0;retitled\x07") << "the trace keeps the exact text";
    EXPECT_EQ(logs[1], "\x1b[2J");
}

#if !defined(_WIN32)
TEST(Program, SignalsEndTheSessionAsQuitDoes)
{
    enum class Input { pipe, script };
    struct Case {
        const char* name;
        int signal;  // 0: the output's reader goes away instead
        Input input;
        std::string lines;
        std::string runningOnceShown;  // the signal comes once this is in the output
        int exitCode;
    };
    const Case cases[] = {
        {"SIGTERM, piped input", SIGTERM, Input::pipe, "mp_value kept\n", "mp_value start -> kept", 143},
        {"SIGINT during a wait", SIGINT, Input::pipe, "mp_value kept\nwait 600\nmp_value late\n", "> wait 600", 130},
        {"SIGHUP during a script's wait", SIGHUP, Input::script, "mp_value kept\nwait 600\nmp_value late\n",
         "> wait 600", 129},
        {"SIGTERM during an exec'd file", SIGTERM, Input::script, "mp_value kept\nexec waits.cfg\nmp_value late\n",
         "> wait 600", 143},
        {"SIGPIPE: the output's reader has gone", 0, Input::pipe, "mp_value kept\n", "mp_value start -> kept", 141},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryFolder folder;
        std::filesystem::create_directories(folder.path() / "host");
        writeFile(folder.path() / "waits.cfg", "wait 600\nmp_value late\n");
        writeFile(folder.path() / "script.txt", c.lines);
        Strings arguments{HOST_PROGRAM, "--plugin", MINIMAL_PLUGIN, "--host-dir", "host"};
        if (c.input == Input::script) arguments.push_back("script.txt");
        Child host(folder, arguments);
        if (c.input == Input::pipe) host.send(c.lines);  // and the input stays open
        ASSERT_TRUE(host.waitFor(c.runningOnceShown)) << host.out();

        const auto sent = std::chrono::steady_clock::now();
        if (c.signal != 0) {
            ASSERT_EQ(::kill(host.pid(), c.signal), 0);
        } else {
            host.closeOutput();
            host.send("mp_echo more\n");
        }
        // Within finish's deadline: long before the wait would have ended.
        EXPECT_EQ(host.finish(), c.exitCode) << host.out() << host.err();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
        ::testing::Test::RecordProperty(c.name, fmt::format("{} ms", took.count()));

        const auto config = readFile(folder.path() / "host" / "cfg" / "config.cfg");
        EXPECT_NE(config.find("mp_value \"kept\"\n"), std::string::npos) << config;
        if (c.signal != 0) {
            EXPECT_NE(host.out().find("unloaded Minimal Test Plugin"), std::string::npos) << host.out();
        }
    }
}

TEST(Program, NothingIsKeptOfLinesAlreadyRunWithoutATrace)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator keeps freed memory on purpose; resident figures say nothing here";
#endif
    std::string semicolons;
    for (int i = 0; i < 12'000; ++i) semicolons += ";\n";
    const std::string tenMegabytes(10'000'000, 'a');
    struct Case {
        const char* name;
        std::string input;
    };
    const Case cases[] = {
        {"12,000 lines of ;", semicolons},
        {"one line of 10 MB", "mp_echo " + tenMegabytes + "\n"},
        {"an unknown name of 10 MB", tenMegabytes + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryFolder folder;
        std::filesystem::create_directories(folder.path() / "host");
        Child host(folder, {HOST_PROGRAM, "--plugin", MINIMAL_PLUGIN, "--host-dir", "host"});
        host.send("mp_echo ready\n");
        ASSERT_TRUE(host.waitFor("[MinimalPlugin] ready"));
        const long before = host.memory("VmRSS");
        host.send(c.input + "mp_echo done\n");
        ASSERT_TRUE(host.waitFor("[MinimalPlugin] done", 60s));
        const long after = host.memory("VmRSS");
        EXPECT_LT(after - before, 3 * 1024) << "kB resident: " << before << " before, " << after << " after, peak "
                                            << host.memory("VmHWM");
        ::testing::Test::RecordProperty(c.name, fmt::format("{} kB -> {} kB, peak {} kB", before, after,
                                                            host.memory("VmHWM")));
        host.closeInput();
        EXPECT_EQ(host.finish(), 0);
    }
}

TEST(Program, InputAndTraceFailuresAreReportedAndExitWithOne)
{
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        bool inputFromFolder;
        bool traceOnFullDisk;
        std::string error;  // on standard error
        bool sessionRuns;
    };
    const Case cases[] = {
        {"standard input from a folder", {}, true, false, "cannot read standard input: Is a directory", false},
        {"--trace /dev/full", {"--trace", "/dev/full"}, false, false, "/dev/full: No space left on device", true},
        {"a trace on a full file system", {"--trace", "full/trace.jsonl"}, false, true,
         "trace.jsonl: No space left on device", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryFolder folder;
        std::filesystem::create_directories(folder.path() / "host");
        std::filesystem::create_directories(folder.path() / "a folder");
        std::optional<testsupport::SmallFileSystem> disk;
        if (c.traceOnFullDisk) {
            disk.emplace(folder.path() / "full", "size=16k");
            if (!*disk) {
                std::cout << "[  SKIPPED ] " << c.name << ": cannot mount a tmpfs here (" << disk->refused << ")\n";
                continue;
            }
            disk->fillWithBytes();
        }
        Strings arguments{HOST_PROGRAM, "--plugin", MINIMAL_PLUGIN, "--host-dir", "host"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        Child host(folder, arguments, c.inputFromFolder ? std::optional(folder.path() / "a folder") : std::nullopt);
        if (!c.inputFromFolder) {
            host.send("mp_echo still runs\n");
            host.closeInput();
        }
        EXPECT_EQ(host.finish(), 1) << host.out();
        EXPECT_NE(host.err().find(c.error), std::string::npos) << host.err();
        EXPECT_EQ(host.out().find("[MinimalPlugin] still runs") != std::string::npos, c.sessionRuns) << host.out();
        if (c.sessionRuns) {
            EXPECT_NE(host.out().find("error: cannot write trace file"), std::string::npos)
                << "said when it happens: " << host.out();
        }
    }
}
#endif

#if defined(_WIN32)
// The host on a console of its own: Wine makes a console without a window
// for a program started with CREATE_NO_WINDOW. The test attaches to it, types
// keys into it and reads what it shows. The console's own code page is not
// the process's; the host reads and writes it as UTF-16 and converts.
TEST(Program, ReadsAndShowsConsoleTextInTheProcessCodePage)
{
    // Characters of each code page that the others lack; the row of the code
    // page this runs in is taken (ctest runs it under 932 and 936 too).
    const struct {
        unsigned codePage;
        std::wstring text;
    } rows[] = {
        {1252, L"\u00D6l\u00E7\u00FC \u0152uvre \u20AC"},
        {932, L"\u30BD\u8868"},
        {936, L"\u30BD\u8868\u4E57"},
    };
    const auto row = std::find_if(std::begin(rows), std::end(rows),
                                  [](const auto& candidate) { return candidate.codePage == ::GetACP(); });
    if (row == std::end(rows)) GTEST_SKIP() << "nothing to type for code page " << ::GetACP();
    const std::wstring& typed = row->text;
    const auto utf8 = [](const std::wstring& text) {
        const auto bytes = std::filesystem::path(text).u8string();
        return std::string(bytes.begin(), bytes.end());
    };

    TemporaryFolder folder;
    std::filesystem::create_directories(folder.path() / "host");
    const auto trace = folder.path() / "trace.jsonl";
    std::wstring commandLine = std::filesystem::path(HOST_PROGRAM).native() + L" --plugin \"" +
                               std::filesystem::path(MINIMAL_PLUGIN).native() + L"\" --host-dir \"" +
                               (folder.path() / "host").native() + L"\" --trace \"" + trace.native() +
                               L"\" --exec \"mp_value \\\"" + typed + L"\\\"\"";
    ::SetEnvironmentVariableW(L"NO_COLOR", L"1");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                          nullptr, folder.path().c_str(), &startup, &process);
    ::SetEnvironmentVariableW(L"NO_COLOR", nullptr);
    ASSERT_TRUE(started) << ::GetLastError();
    struct Detach {
        PROCESS_INFORMATION& process;
        ~Detach()
        {
            ::FreeConsole();
            ::TerminateProcess(process.hProcess, 1);
            ::CloseHandle(process.hThread);
            ::CloseHandle(process.hProcess);
        }
    } detach{process};

    // The console exists once the program has started.
    ::FreeConsole();
    ASSERT_TRUE(testsupport::waitUntil([&] { return ::AttachConsole(process.dwProcessId) != 0; },
                                       std::chrono::seconds(30)))
        << "no console to attach to: " << ::GetLastError();
    HANDLE input = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    HANDLE output = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(input, INVALID_HANDLE_VALUE);
    ASSERT_NE(output, INVALID_HANDLE_VALUE);

    std::vector<INPUT_RECORD> keys;
    for (const wchar_t c : L"mp_echo " + typed + L"\rmp_value\rquit\r") {
        for (const BOOL down : {TRUE, FALSE}) {
            INPUT_RECORD key{};
            key.EventType = KEY_EVENT;
            key.Event.KeyEvent.bKeyDown = down;
            key.Event.KeyEvent.wRepeatCount = 1;
            key.Event.KeyEvent.wVirtualKeyCode = c == L'\r' ? VK_RETURN : 0;
            key.Event.KeyEvent.uChar.UnicodeChar = c;
            keys.push_back(key);
        }
    }
    DWORD written = 0;
    ASSERT_TRUE(::WriteConsoleInputW(input, keys.data(), static_cast<DWORD>(keys.size()), &written));
    ASSERT_EQ(::WaitForSingleObject(process.hProcess, 60'000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);

    CONSOLE_SCREEN_BUFFER_INFO screen{};
    ASSERT_TRUE(::GetConsoleScreenBufferInfo(output, &screen));
    std::wstring shown(static_cast<std::size_t>(screen.dwSize.X) * static_cast<std::size_t>(screen.dwSize.Y), L' ');
    DWORD read = 0;
    ASSERT_TRUE(::ReadConsoleOutputCharacterW(output, shown.data(), static_cast<DWORD>(shown.size()), {0, 0}, &read));
    ::CloseHandle(input);
    ::CloseHandle(output);
    EXPECT_NE(shown.find(L"[MinimalPlugin] " + typed), std::wstring::npos) << utf8(shown);
    EXPECT_NE(shown.find(L"mp_value = \"" + typed + L"\""), std::wstring::npos) << utf8(shown);

    Strings logs;
    for (const auto& event : traceOf(trace)) {
        if (event.at("event") == "log") logs.push_back(event.at("text"));
    }
    EXPECT_EQ(logs, (Strings{"mp_value start -> " + utf8(typed), utf8(typed), "unloading"}));
}
#endif

}  // namespace
}  // namespace tarnwick::host::tests
