// tarnwick-watch: its output lines, and the program driven as a user would.
#include "TestSupport.h"
#include "WatchedTree.h"
#include "tool/ChangeLine.h"

#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;
#endif

#include <thread>

namespace {

using namespace watch_test;
using tarnwick_watch::formatChange;
using tarnwick_watch::jsonString;
using tarnwick_watch::OutputFormat;

TEST(ChangeLine, JsonEscapesWhatJsonCannotHoldAndKeepsUtf8)
{
    EXPECT_EQ(formatChange(nativePath("a\"b\\c"), Event::added, OutputFormat::jsonLines),
              "{\"kind\":\"added\",\"path\":\"a\\\"b\\\\c\"}\n");
    EXPECT_EQ(jsonString("tab\tnl\n\x7f"), "\"tab\\u0009nl\\u000a\\u007f\"");
    EXPECT_EQ(jsonString("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x97\xba"), "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x97\xba\"");
}

TEST(ChangeLine, JsonEscapesEachByteOfAnInvalidSequence)
{
    // Latin-1 name, truncated sequence, overlong slash, surrogate, past U+10FFFF.
    EXPECT_EQ(jsonString("caf\xe9"), "\"caf\\udce9\"");
    EXPECT_EQ(jsonString("\xe2\x82"), "\"\\udce2\\udc82\"");
    EXPECT_EQ(jsonString("\xc0\xaf"), "\"\\udcc0\\udcaf\"");
    EXPECT_EQ(jsonString("\xed\xa0\x80"), "\"\\udced\\udca0\\udc80\"");
    EXPECT_EQ(jsonString("\xf4\x90\x80\x80"), "\"\\udcf4\\udc90\\udc80\\udc80\"");
}

#ifdef _WIN32
TEST(ChangeLine, WindowsNamesAreWrittenAsUtf8AndLoneSurrogatesSurvive)
{
    const std::wstring name = L"caf\u00e9 \U0001F5FA";
    EXPECT_EQ(formatChange(name, Event::modified, OutputFormat::text),
              "modified\tcaf\xc3\xa9 \xf0\x9f\x97\xba\n");
    EXPECT_EQ(jsonString(name), "\"caf\xc3\xa9 \xf0\x9f\x97\xba\"");
    // Windows allows unpaired surrogates in names; a pair split by order is two of them.
    const std::wstring lone{L'a', wchar_t(0xD800), L'b', wchar_t(0xDC00), wchar_t(0xD800)};
    EXPECT_EQ(jsonString(lone), "\"a\\ud800b\\udc00\\ud800\"");
    EXPECT_EQ(tarnwick_watch::utf8(lone), "a\xed\xa0\x80" "b\xed\xb0\x80\xed\xa0\x80");
    EXPECT_EQ(jsonString(std::wstring(L"tab\t\\")), "\"tab\\u0009\\\\\"");
}
#endif

#ifdef _WIN32
// The tool running in a child process of its own console process group, its
// two output streams collected.
class RunningTool {
public:
    explicit RunningTool(const std::vector<std::wstring>& arguments)
    {
        std::wstring commandLine = L"\"" + fs::path(TARNWICK_WATCH_TOOL).make_preferred().native() + L"\"";
        for (const auto& argument : arguments) {
            commandLine += L" \"" + argument + L"\"";
        }
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        HANDLE outRead, outWrite, errRead, errWrite;
        EXPECT_TRUE(::CreatePipe(&outRead, &outWrite, &inherited, 0));
        EXPECT_TRUE(::CreatePipe(&errRead, &errWrite, &inherited, 0));
        ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = outWrite;
        startup.hStdError = errWrite;
        // Its own group, so that Ctrl+Break reaches it and not this process.
        EXPECT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                     nullptr, nullptr, &startup, &process))
            << ::GetLastError();
        ::CloseHandle(outWrite);
        ::CloseHandle(errWrite);
        readers[0] = std::thread([this, outRead] { collect(outRead, standardOutput); });
        readers[1] = std::thread([this, errRead] { collect(errRead, standardError); });
    }

    ~RunningTool()
    {
        if (!exited) {
            ::TerminateProcess(process.hProcess, 255);
            wait();
        }
        for (auto& reader : readers) {
            reader.join();
        }
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }

    bool outputHas(const std::string& text) { return has(standardOutput, text); }
    bool errorHas(const std::string& text) { return has(standardError, text); }
    std::string output()
    {
        std::lock_guard lock(signal.mutex);
        return standardOutput + standardError;
    }

    bool pressCtrlBreak() { return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process.dwProcessId); }



    int wait()
    {
        ::WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        ::GetExitCodeProcess(process.hProcess, &code);
        exited = true;
        return static_cast<int>(code);
    }

private:
    bool has(const std::string& stream, const std::string& text)
    {
        return waitUntil(signal, [&] { return stream.find(text) != std::string::npos; });
    }

    void collect(HANDLE pipe, std::string& stream)
    {
        char chunk[4096];
        DWORD length = 0;
        while (::ReadFile(pipe, chunk, sizeof chunk, &length, nullptr) && length > 0) {
            std::lock_guard lock(signal.mutex);
            stream.append(chunk, length);
            signal.changed.notify_all();
        }
        ::CloseHandle(pipe);
    }

    PROCESS_INFORMATION process{};
    Signal signal;
    std::string standardOutput;
    std::string standardError;
    std::thread readers[2];
    bool exited = false;
};

TEST(Tool, PrintsEachChangeAsUtf8AndStopsCleanlyOnCtrlBreak)
{
    WatchedTree t;
    RunningTool tool({t.tree.native()});
    ASSERT_TRUE(tool.errorHas("watching " + tarnwick_watch::utf8(t.tree.native()))) << tool.output();
    writeFile(t.tree / L"map\u00e9.upk", "");
    fs::rename(t.tree / L"map\u00e9.upk", t.tree / "renamed.upk");
    EXPECT_TRUE(tool.outputHas("added\tmap\xc3\xa9.upk\n")) << tool.output();
    EXPECT_TRUE(tool.outputHas("renamed_old_name\tmap\xc3\xa9.upk\nrenamed_new_name\trenamed.upk\n")) << tool.output();
    if (!tool.pressCtrlBreak() && runningUnderWine()) {
        GTEST_SKIP() << "Wine refuses GenerateConsoleCtrlEvent (error " << ::GetLastError()
                     << ") without a terminal, so stopping on Ctrl+Break is not checked here";
    }
    EXPECT_EQ(tool.wait(), 0);
}

TEST(Tool, FailsWithTheSystemsMessageWhenTheWatchCannotStart)
{
    WatchedTree t;
    RunningTool tool({(t.tree / "missing").native()});
    EXPECT_TRUE(tool.errorHas(std::system_category().message(ERROR_FILE_NOT_FOUND)));
    EXPECT_EQ(tool.wait(), 1);
}

TEST(Tool, ExplainsItselfAndRejectsBadArguments)
{
    {
        RunningTool tool({L"--help"});
        EXPECT_TRUE(tool.outputHas("Usage: tarnwick-watch [--json] PATH"));
        EXPECT_EQ(tool.wait(), 0);
    }
    {
        RunningTool tool({});
        EXPECT_TRUE(tool.errorHas("Usage:"));
        EXPECT_EQ(tool.wait(), 2);
    }
    {
        RunningTool tool({L"--bogus", L"x"});
        EXPECT_TRUE(tool.errorHas("unknown option --bogus"));
        EXPECT_EQ(tool.wait(), 2);
    }
}

#else

// The tool running in a child process, its two output streams collected.
class RunningTool {
public:
    explicit RunningTool(std::vector<std::string> arguments)
    {
        int out[2];
        int err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        arguments.insert(arguments.begin(), TARNWICK_WATCH_TOOL);
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        EXPECT_EQ(::posix_spawn(&pid, TARNWICK_WATCH_TOOL, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        readers[0] = std::thread([this, fd = out[0]] { collect(fd, standardOutput); });
        readers[1] = std::thread([this, fd = err[0]] { collect(fd, standardError); });
    }

    ~RunningTool()
    {
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
            wait();
        }
        for (auto& reader : readers) {
            reader.join();
        }
    }

    bool outputHas(const std::string& text) { return has(standardOutput, text); }
    bool errorHas(const std::string& text) { return has(standardError, text); }
    std::string output()
    {
        std::lock_guard lock(signal.mutex);
        return standardOutput;
    }

    int wait()
    {
        int status = 0;
        ::waitpid(pid, &status, 0);
        exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid = -1;

private:
    bool has(const std::string& stream, const std::string& text)
    {
        return waitUntil(signal, [&] { return stream.find(text) != std::string::npos; });
    }

    void collect(int fd, std::string& stream)
    {
        char chunk[4096];
        ssize_t length;
        while ((length = ::read(fd, chunk, sizeof chunk)) > 0) {
            std::lock_guard lock(signal.mutex);
            stream.append(chunk, static_cast<std::size_t>(length));
            signal.changed.notify_all();
        }
        ::close(fd);
    }

    Signal signal;
    std::string standardOutput;
    std::string standardError;
    std::thread readers[2];
    bool exited = false;
};

TEST(Tool, PrintsEachChangeAndStopsCleanlyOnSignal)
{
    for (const int stopSignal : {SIGTERM, SIGINT}) {
        WatchedTree t;
        RunningTool tool({t.tree.native()});
        ASSERT_TRUE(tool.errorHas("watching " + t.tree.native() + "\n"));
        writeFile(t.tree / "map.upk", "");
        fs::rename(t.tree / "map.upk", t.tree / "renamed.upk");
        EXPECT_TRUE(tool.outputHas("added\tmap.upk\nrenamed_old_name\tmap.upk\nrenamed_new_name\trenamed.upk\n"))
            << tool.output();
        ::kill(tool.pid, stopSignal);
        EXPECT_EQ(tool.wait(), 0);
    }
}

TEST(Tool, JsonLinesStayValidForAnyName)
{
    WatchedTree t;
    RunningTool tool({"--json", t.tree.native()});
    ASSERT_TRUE(tool.errorHas("watching "));
    writeFile(t.tree / "caf\xe9", "");
    EXPECT_TRUE(tool.outputHas("{\"kind\":\"added\",\"path\":\"caf\\udce9\"}\n")) << tool.output();
    ::kill(tool.pid, SIGTERM);
    EXPECT_EQ(tool.wait(), 0);
}

TEST(Tool, FailsWithTheSystemsMessageWhenTheWatchCannotStart)
{
    WatchedTree t;
    RunningTool tool({(t.tree / "missing").native()});
    EXPECT_TRUE(tool.errorHas("No such file or directory"));
    EXPECT_EQ(tool.wait(), 1);
}

TEST(Tool, ExplainsItselfAndRejectsBadArguments)
{
    {
        RunningTool tool({"--help"});
        EXPECT_TRUE(tool.outputHas("Usage: tarnwick-watch [--json] PATH"));
        EXPECT_EQ(tool.wait(), 0);
    }
    {
        RunningTool tool({});
        EXPECT_TRUE(tool.errorHas("Usage:"));
        EXPECT_EQ(tool.wait(), 2);
    }
    {
        RunningTool tool({"--bogus", "x"});
        EXPECT_TRUE(tool.errorHas("unknown option --bogus"));
        EXPECT_EQ(tool.wait(), 2);
    }
}

#endif

}  // namespace
