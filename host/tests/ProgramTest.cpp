// Runs the tarnwick-host program as a user does and reads its trace.
// Long because each case drives a real child process (pipes, signals,
// limits, full disks), and the runner they share lives here with them.

#include <gtest/gtest.h>

#include <optional>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
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

#if !defined(_WIN32)
using namespace std::chrono_literals;

// The host as a child process with a pipe on every side, for what a shell
// line cannot arrange: a signal at a chosen moment, an output reader that
// goes away, the memory the kernel counts for it. `input`, when given, is
// opened as standard input instead of the pipe.
class Child {
public:
    Child(const TempDir& folder, std::vector<std::string> arguments,
          const std::optional<std::filesystem::path>& input = std::nullopt)
    {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("no pipes");
        }
        arguments.insert(arguments.begin(), HOST_PROGRAM);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        const std::string workingFolder = folder.path().string();
        // The test's own writes to a host that has gone fail instead of
        // ending the test; the host starts with the defaults again.
        ::signal(SIGPIPE, SIG_IGN);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::signal(SIGPIPE, SIG_DFL);
            ::dup2(input ? ::open(input->c_str(), O_RDONLY) : in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            if (::chdir(workingFolder.c_str()) != 0) ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        input_ = in[1];
        output_ = out[0];
        errors_ = err[0];
        if (input) closeInput();
    }

    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (const int fd : {input_, output_, errors_}) {
            if (fd >= 0) ::close(fd);
        }
    }

    pid_t pid() const { return pid_; }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

    // Writes to standard input, reading the output meanwhile so that neither
    // side blocks the other however much goes through.
    void send(std::string_view text)
    {
        while (!text.empty()) {
            pollfd watched[] = {{input_, POLLOUT, 0}, {output_, POLLIN, 0}, {errors_, POLLIN, 0}};
            ASSERT_GT(::poll(watched, 3, 60'000), 0) << "the host took no input for a minute";
            if (watched[0].revents & (POLLERR | POLLHUP)) FAIL() << "the host stopped reading";
            if (watched[0].revents & POLLOUT) {
                const ssize_t written = ::write(input_, text.data(), std::min<std::size_t>(text.size(), 65536));
                ASSERT_GT(written, 0);
                text.remove_prefix(static_cast<std::size_t>(written));
            }
            readAvailable(watched[1], watched[2]);
        }
    }

    void closeInput() { ::close(std::exchange(input_, -1)); }
    // The reader of the output goes away, as `head -1` does.
    void closeOutput() { ::close(std::exchange(output_, -1)); }

    // Reads until `text` is in the output, past what earlier waits found.
    bool waitFor(std::string_view text, std::chrono::seconds deadline = 30s)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        for (;;) {
            if (const auto at = out_.find(text, seen_); at != std::string::npos) {
                seen_ = at + text.size();
                return true;
            }
            if (!readSome(end)) return false;
        }
    }

    // Reads to the end of the output and returns the exit status; a death
    // by signal N is 1000 + N, so it cannot pass for an exit with 128 + N.
    int finish(std::chrono::seconds deadline = 60s)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (readSome(end)) {
        }
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) return -1;
            std::this_thread::sleep_for(5ms);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }

    // A field of /proc/PID/status in kB, such as VmRSS.
    long memory(std::string_view field) const
    {
        std::ifstream status(fmt::format("/proc/{}/status", pid_));
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with(field) && line[field.size()] == ':') return std::stol(line.substr(field.size() + 1));
        }
        return -1;
    }

private:
    void readAvailable(const pollfd& out, const pollfd& err)
    {
        char buffer[65536];
        for (const auto& [watched, text] : {std::pair{&out, &out_}, std::pair{&err, &err_}}) {
            if (watched->fd < 0 || watched->revents == 0) continue;
            const ssize_t count = ::read(watched->fd, buffer, sizeof buffer);
            if (count > 0) {
                text->append(buffer, static_cast<std::size_t>(count));
            } else {
                ::close(watched->fd == output_ ? std::exchange(output_, -1) : std::exchange(errors_, -1));
            }
        }
    }

    // Reads what arrives before `end`; false once both outputs have ended.
    bool readSome(std::chrono::steady_clock::time_point end)
    {
        if (output_ < 0 && errors_ < 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left <= 0ms) return false;
        pollfd watched[] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}};
        if (::poll(watched, 2, static_cast<int>(left.count())) <= 0) return false;
        readAvailable(watched[0], watched[1]);
        return true;
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int errors_ = -1;
    std::string out_;
    std::string err_;
    std::size_t seen_ = 0;
};

// A small tmpfs over `folder`, unmounted at the end; none where the system
// refuses the mount (not root, no CAP_SYS_ADMIN), and `refused` says why.
class SmallFileSystem {
public:
    SmallFileSystem(const std::filesystem::path& folder, std::string_view options) : folder_(folder)
    {
        std::filesystem::create_directories(folder);
        mounted_ = ::mount("tarnwick-test", folder.c_str(), "tmpfs", 0, std::string(options).c_str()) == 0;
        if (!mounted_) refused = std::strerror(errno);
    }
    ~SmallFileSystem()
    {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    explicit operator bool() const { return mounted_; }

    // Fills every block that is left.
    void fill() const
    {
        std::ofstream filler(folder_ / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
    }

    std::string refused;

private:
    std::filesystem::path folder_;
    bool mounted_ = false;
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
        TempDir folder;
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
    TempDir folder;
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
        {"SIGINT during a wait", SIGINT, Input::pipe, "mp_value kept\nwait 8\nmp_value late\n", "> wait 8", 130},
        {"SIGHUP during a script's wait", SIGHUP, Input::script, "mp_value kept\nwait 8\nmp_value late\n", "> wait 8",
         129},
        {"SIGTERM during an exec'd file", SIGTERM, Input::script, "mp_value kept\nexec waits.cfg\nmp_value late\n",
         "> wait 8", 143},
        {"SIGPIPE: the output's reader has gone", 0, Input::pipe, "mp_value kept\n", "mp_value start -> kept", 141},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir folder;
        std::filesystem::create_directories(folder.path() / "host");
        writeFile(folder.path() / "waits.cfg", "wait 8\nmp_value late\n");
        writeFile(folder.path() / "script.txt", c.lines);
        std::vector<std::string> arguments{"--plugin", MINIMAL_PLUGIN, "--host-dir", "host"};
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
        EXPECT_EQ(host.finish(), c.exitCode) << host.out() << host.err();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
        EXPECT_LT(took, 4s) << "the session ended long before its wait would have";
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
        TempDir folder;
        std::filesystem::create_directories(folder.path() / "host");
        Child host(folder, {"--plugin", MINIMAL_PLUGIN, "--host-dir", "host"});
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
        TempDir folder;
        std::filesystem::create_directories(folder.path() / "host");
        std::filesystem::create_directories(folder.path() / "a folder");
        std::optional<SmallFileSystem> disk;
        if (c.traceOnFullDisk) {
            disk.emplace(folder.path() / "full", "size=16k");
            if (!*disk) {
                std::cout << "[  SKIPPED ] " << c.name << ": cannot mount a tmpfs here (" << disk->refused << ")\n";
                continue;
            }
            disk->fill();
        }
        std::vector<std::string> arguments{"--plugin", MINIMAL_PLUGIN, "--host-dir", "host"};
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

    TempDir folder;
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!::AttachConsole(process.dwProcessId)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no console to attach to: " << ::GetLastError();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
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
