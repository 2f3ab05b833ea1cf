// tarnwick-watch: its output lines, and the program driven as a user would.
#include "TestSupport.h"
#include "WatchedTree.h"
#include "tool/ChangeLine.h"

#ifndef _WIN32
#include <climits>
#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#endif

#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>

namespace filewatch::tests {
namespace {

using tarnwick_watch::jsonString;
using tarnwick_watch::LineFormat;

// A time of the output lines, and how they show it.
const auto lineTime = std::chrono::sys_days(std::chrono::year(2026) / 12 / 9) + std::chrono::hours(18) +
                      std::chrono::minutes(20) + std::chrono::milliseconds(31'123);
constexpr char shownTime[] = "2026-12-09T18:20:31.123Z";

std::string formatChange(const PathString& path, Event kind, const LineFormat& format)
{
    return format.line(tarnwick_watch::lineKindOf(kind), path, lineTime);
}

TEST(ChangeLine, JsonEscapesWhatJsonCannotHoldAndKeepsUtf8)
{
    EXPECT_EQ(formatChange(nativePath("a\"b\\c"), Event::added, LineFormat::json()),
              "{\"kind\":\"added\",\"path\":\"a\\\"b\\\\c\",\"time\":\"" + std::string(shownTime) + "\"}\n");
    EXPECT_EQ(formatChange(nativePath("a"), Event::added, LineFormat("%t|%k|%p|100%%")),
              shownTime + std::string("|added|a|100%\n"));
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
    EXPECT_EQ(formatChange(name, Event::modified, LineFormat()),
              "modified\tcaf\xc3\xa9 \xf0\x9f\x97\xba\n");
    EXPECT_EQ(jsonString(name), "\"caf\xc3\xa9 \xf0\x9f\x97\xba\"");
    // Windows allows unpaired surrogates in names; a pair split by order is two of them.
    const std::wstring lone{L'a', wchar_t(0xD800), L'b', wchar_t(0xDC00), wchar_t(0xD800)};
    EXPECT_EQ(jsonString(lone), "\"a\\ud800b\\udc00\\ud800\"");
    EXPECT_EQ(tarnwick_watch::utf8(lone), "a\xed\xa0\x80" "b\xed\xb0\x80\xed\xa0\x80");
    EXPECT_EQ(jsonString(std::wstring(L"tab\t\\")), "\"tab\\u0009\\\\\"");
    // The line breaks a Windows name can hold keep a text line whole.
    EXPECT_EQ(formatChange(L"a\u2028b\u2029c", Event::added, LineFormat()), "added\ta\\u2028b\\u2029c\n");
    EXPECT_EQ(formatChange(L"a\u2028b", Event::added, LineFormat::json()),
              "{\"kind\":\"added\",\"path\":\"a\xe2\x80\xa8" "b\",\"time\":\"" + std::string(shownTime) + "\"}\n");
}
#endif

#ifdef _WIN32
// The tool running in a child process of its own console process group, its
// two output streams collected.
class RunningTool {
public:
    explicit RunningTool(std::vector<std::wstring> arguments) : child(withTool(std::move(arguments)), options()) {}

    bool outputHas(const std::string& text) { return child.outputHas(text); }
    bool errorHas(const std::string& text) { return child.errorHas(text); }
    std::string output() { return child.out() + child.err(); }

    // Once it has ended by itself: its exit status and all it printed.
    std::pair<int, std::string> ended()
    {
        const int status = child.finish();
        return {status, child.out()};
    }

    bool pressCtrlBreak() { return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.pid()); }

    int wait() { return child.finish(); }

private:
    static std::vector<std::wstring> withTool(std::vector<std::wstring> arguments)
    {
        arguments.insert(arguments.begin(), fs::path(TARNWICK_WATCH_TOOL).make_preferred().native());
        return arguments;
    }
    static tarnwick::testsupport::ChildOptions options()
    {
        tarnwick::testsupport::ChildOptions options;
        // Its own group, so that Ctrl+Break reaches it and not this process.
        options.creationFlags = CREATE_NEW_PROCESS_GROUP;
        return options;
    }

    tarnwick::testsupport::ChildProcess child;
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

#else

// How the tool is started: where its standard output goes, and what it
// inherits from whoever starts it.
struct Start {
    // A file instead of the pipe the test reads (/dev/full, say).
    const char* outputFile = nullptr;
    // A pipe nobody reads: once it is full, the tool's writes block.
    bool outputUnread = false;
    // As service managers start programs.
    bool sigpipeIgnored = false;
    // As nobody: root reads every folder.
    bool unprivileged = false;
    // Non-zero: in a user namespace of its own whose inotify watch limit is
    // this, a kernel limit like max_user_watches that binds no other process.
    int watchLimit = 0;
};

constexpr uid_t nobody = 65534;

// The tool running in a child process, its output streams collected.
class RunningTool {
public:
    explicit RunningTool(std::vector<std::string> arguments, Start start = {})
        : limit(std::to_string(start.watchLimit)),
          // Root in the namespace is this user outside it.
          userMap("0 " + std::to_string(::geteuid()) + " 1"),
          groupMap("0 " + std::to_string(::getegid()) + " 1"),
          child(withTool(std::move(arguments)), options(start)),
          pid(child.pid())
    {
        EXPECT_TRUE(pid > 0 || start.watchLimit > 0) << "cannot start the tool";
    }

    bool outputHas(const std::string& text) { return child.outputHas(text); }
    bool errorHas(const std::string& text) { return child.errorHas(text); }
    std::string output() { return child.out() + "\nstandard error:\n" + child.err(); }

    // Once it has ended by itself: its exit status and all it printed.
    std::pair<int, std::string> ended()
    {
        const int status = wait();
        return {status, child.out()};
    }

    // Whether it said it is watching, rather than end first.
    bool startedWatching() { return child.errorHas("watching "); }
    // No user namespace could be made for it, to lower its watch limit in.
    bool refusedANamespace() { return pid < 0 || exitStatus() == 125; }

    // How many bytes wait in the output pipe nobody reads, and how many it holds.
    std::pair<int, int> unreadBytes() const
    {
        int queued = 0;
        ::ioctl(child.unreadOutput(), FIONREAD, &queued);
        return {queued, ::fcntl(child.unreadOutput(), F_GETPIPE_SZ)};
    }
    // The reader goes away.
    void closeUnreadOutput()
    {
        if (child.unreadOutput() >= 0) child.closeOutput();
    }
    // A reader comes to read what it has written so far, and on.
    void drainOutput() { child.startReadingOutput(); }

    // Makes files until the pipe nobody reads is full to its last page, so
    // that the tool's next write blocks. False if it never fills.
    bool fillUnreadOutput(const fs::path& tree)
    {
        const auto full = [&] {
            const auto [queued, capacity] = unreadBytes();
            return queued > capacity - 4096;
        };
        for (int made = 0; made < 20000 && !waitUntil(full, std::chrono::milliseconds(200)); made += 1000) {
            for (int i = made; i < made + 1000; ++i) {
                writeFile(tree / ("f" + std::to_string(i)), "");
            }
        }
        return full();
    }

    std::size_t residentKiB() const
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("VmRSS:")) {
                return std::stoul(line.substr(6));
            }
        }
        return 0;
    }

    int wait() { return exitStatus(std::chrono::seconds(60)).value_or(-1); }

    // The exit status (128 + N after signal N), or nothing if the tool still
    // runs at the deadline.
    std::optional<int> exitStatus(std::chrono::milliseconds deadline = defaultDeadline)
    {
        const int status = pid > 0 ? child.finish(deadline) : -1;
        if (status < 0) {
            return std::nullopt;
        }
        return status >= tarnwick::testsupport::killedBy(0) ? status - tarnwick::testsupport::killedBy(0) + 128
                                                             : status;
    }

private:
    static std::vector<std::string> withTool(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), TARNWICK_WATCH_TOOL);
        return arguments;
    }

    tarnwick::testsupport::ChildOptions options(const Start& start)
    {
        tarnwick::testsupport::ChildOptions options;
        options.outputFile = start.outputFile;
        options.outputUnread = start.outputUnread;
        options.ownUserNamespace = start.watchLimit > 0;
        // Async-signal-safe calls only, up to exec.
        options.inChild = [this, start] {
            if (start.sigpipeIgnored) {
                struct sigaction ignore {};
                ignore.sa_handler = SIG_IGN;
                ::sigaction(SIGPIPE, &ignore, nullptr);
            }
            if (start.watchLimit > 0 &&
                (!writeAll("/proc/self/uid_map", userMap.c_str()) || !writeAll("/proc/self/setgroups", "deny") ||
                 !writeAll("/proc/self/gid_map", groupMap.c_str()) ||
                 !writeAll("/proc/sys/user/max_inotify_watches", limit.c_str()))) {
                ::_exit(125);
            }
            if (start.unprivileged &&
                (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
                ::_exit(126);
            }
        };
        return options;
    }

    static bool writeAll(const char* file, const char* text)
    {
        const int fd = ::open(file, O_WRONLY);
        const auto length = static_cast<ssize_t>(std::strlen(text));
        const bool written = fd >= 0 && ::write(fd, text, static_cast<std::size_t>(length)) == length;
        ::close(fd);
        return written;
    }

    const std::string limit;
    const std::string userMap;
    const std::string groupMap;
    tarnwick::testsupport::ChildProcess child;

public:
    const pid_t pid;
};

// Makes `tree` and what is in it belong to nobody, so that a tool run as
// nobody meets the permissions set below. False when not run as root (the
// permissions already bind the test's own user).
bool handToNobody(const WatchedTree& t)
{
    if (::geteuid() != 0) {
        return false;
    }
    ::chmod(t.temp.path().c_str(), 0755);
    for (const auto& entry : fs::recursive_directory_iterator(t.tree)) {
        ::lchown(entry.path().c_str(), nobody, nobody);
    }
    ::chown(t.tree.c_str(), nobody, nobody);
    return true;
}

// Folders nested until their path is longer than the system takes, made
// and removed one relative to the next.
class TooDeepFolders {
public:
    explicit TooDeepFolders(const fs::path& top) : name(250, 'd')
    {
        folders.push_back(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (std::size_t length = top.native().size(); length <= PATH_MAX + name.size(); length += name.size() + 1) {
            EXPECT_EQ(::mkdirat(folders.back(), name.c_str(), 0755), 0);
            folders.push_back(::openat(folders.back(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            relative += (relative.empty() ? "" : "/") + name;
        }
    }
    ~TooDeepFolders()
    {
        for (std::size_t level = folders.size() - 1; level > 0; --level) {
            ::close(folders[level]);
            ::unlinkat(folders[level - 1], name.c_str(), AT_REMOVEDIR);
        }
        ::close(folders.front());
    }
    TooDeepFolders(const TooDeepFolders&) = delete;
    TooDeepFolders& operator=(const TooDeepFolders&) = delete;

    std::string relative;

private:
    std::string name;
    std::vector<int> folders;
};

// A stop signal ends the tool at once, also while a reader that has stopped
// reading holds up its output.
TEST(Tool, PrintsEachChangeAndStopsCleanlyOnSignal)
{
    struct Case {
        int stopSignal;
        bool outputBlocked;
    };
    for (const auto [stopSignal, outputBlocked] :
         {Case{SIGTERM, false}, Case{SIGINT, false}, Case{SIGTERM, true}, Case{SIGINT, true}}) {
        SCOPED_TRACE(testing::Message() << "signal " << stopSignal << (outputBlocked ? ", output blocked" : ""));
        WatchedTree t;
        RunningTool tool({t.tree.native()}, {.outputUnread = outputBlocked});
        ASSERT_TRUE(tool.errorHas("watching " + t.tree.native() + "\n"));
        if (outputBlocked) {
            ASSERT_TRUE(tool.fillUnreadOutput(t.tree)) << "the output pipe never filled";
        } else {
            writeFile(t.tree / "map.upk", "");
            fs::rename(t.tree / "map.upk", t.tree / "renamed.upk");
            EXPECT_TRUE(tool.outputHas("added\tmap.upk\nrenamed_old_name\tmap.upk\nrenamed_new_name\trenamed.upk\n"))
                << tool.output();
        }
        const auto signalled = std::chrono::steady_clock::now();
        ::kill(tool.pid, stopSignal);
        EXPECT_EQ(tool.exitStatus(), 0) << "still running";
        // A figure for the record, not a bound: the machine may be busy.
        RecordProperty((outputBlocked ? "blocked_stop_ms_signal_" : "stop_ms_signal_") + std::to_string(stopSignal),
                       static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - signalled)
                                            .count()));
    }
}

// Every name reaches the output on one line of its own, and no two names on
// the same: JSON carries it exactly, text escapes control characters, the
// backslash and bytes that are not UTF-8.
TEST(Tool, EveryNameIsPrintedOnALineOfItsOwn)
{
    struct Case {
        const char* format;
        std::string name;
        std::string line;
    };
    const Case cases[] = {
        {"--json", "caf\xe9", "{\"kind\":\"added\",\"path\":\"caf\\udce9\",\"time\":\""},
        {"--json", "bad\nname", "{\"kind\":\"added\",\"path\":\"bad\\u000aname\",\"time\":\""},
        {"--json", "bad\rname", "{\"kind\":\"added\",\"path\":\"bad\\u000dname\",\"time\":\""},
        {"--format=%p|", "bad\nname", "bad\\nname|\n"},
        {"--", "bad\nname", "added\tbad\\nname\n"},
        {"--", "bad\rname", "added\tbad\\rname\n"},
        // A backslash of the name's own cannot pass for an escape.
        {"--", "bad\\nname", "added\tbad\\\\nname\n"},
        // Nothing in a name reaches the terminal as a command: a title, a
        // clear screen, a CSI of the C1 set, and bytes that are not UTF-8.
        {"--", "\x1b]0;owned\x07", "added\t\\x1b]0;owned\\x07\n"},
        {"--", "\x1b[2J\t", "added\t\\x1b[2J\\t\n"},
        {"--", "csi\xc2\x9b", "added\tcsi\\u009b\n"},
        {"--", "caf\xe9 \xe2\x82\xac", "added\tcaf\\xe9 \xe2\x82\xac\n"},
    };
    for (const auto& [format, name, line] : cases) {
        SCOPED_TRACE(line);
        WatchedTree t;
        RunningTool tool({format, t.tree.native()});
        ASSERT_TRUE(tool.errorHas("watching "));
        writeFile(t.tree / name, "");
        EXPECT_TRUE(tool.outputHas(line)) << tool.output();
        ::kill(tool.pid, SIGTERM);
        EXPECT_EQ(tool.wait(), 0);
    }
}

// The tool ends with a message and status 1 when it cannot go on: at the
// first write that fails, to a full disk or to a reader gone while SIGPIPE
// is ignored (as service managers start programs; otherwise SIGPIPE ends
// it, as it ends any program of a pipeline); and when the watched folder is
// deleted or moved away, so that it is no longer PATH, rather than report
// nothing or report under stale paths; and when watching fails.
TEST(Tool, EndsWithAMessageWhenItCannotGoOn)
{
    struct Case {
        const char* name;
        Start start;
        std::function<void(const WatchedTree&, pid_t tool)> act;
        int status;
        // Expected on standard error after "tarnwick-watch: ".
        std::function<std::string(const WatchedTree&)> message;
    };
    const auto writeAFile = [](const WatchedTree& t, pid_t) { writeFile(t.tree / "f", ""); };
    const auto writing = [](const char* reason) {
        return [reason](const WatchedTree&) { return std::string("writing the output failed: ") + reason + "\n"; };
    };
    const auto watched = [](const char* reason) {
        return [reason](const WatchedTree& t) { return t.tree.native() + ": " + reason + "; stopping\n"; };
    };
    const Case cases[] = {
        {"full disk", {.outputFile = "/dev/full"}, writeAFile, 1, writing("No space left on device")},
        {"reader gone, SIGPIPE ignored", {.outputUnread = true, .sigpipeIgnored = true}, writeAFile, 1,
         writing("Broken pipe")},
        {"reader gone", {.outputUnread = true}, writeAFile, 128 + SIGPIPE, {}},
        {"watched folder deleted", {}, [](const WatchedTree& t, pid_t) { fs::remove_all(t.tree); }, 1,
         watched("the watched folder was deleted")},
        {"watched folder moved away", {},
         [](const WatchedTree& t, pid_t) { fs::rename(t.tree, t.outside / "moved"); }, 1,
         watched("the watched folder was moved or renamed")},
        {"watched folder renamed", {}, [](const WatchedTree& t, pid_t) { fs::rename(t.tree, t.temp / "renamed"); },
         1, watched("the watched folder was moved or renamed")},
#ifndef __SANITIZE_ADDRESS__
        // Its descriptor limit lowered under it, below what a wait with a
        // timeout takes: the wait for a move's other half fails.
        // (Not beside UndefinedBehaviorSanitizer, whose check of the caught
        // error's type opens a pipe, which the limit forbids.)
        {"watching fails", {},
         [](const WatchedTree& t, pid_t tool) {
             writeFile(t.tree / "f", "");
             const rlimit one{1, 1};
             ASSERT_EQ(::prlimit(tool, RLIMIT_NOFILE, &one, nullptr), 0);
             fs::rename(t.tree / "f", t.outside / "f");
         },
         1, watched("watching failed: Invalid argument")},
#endif
    };
    for (const auto& [name, start, act, status, message] : cases) {
        SCOPED_TRACE(name);
        WatchedTree t;
        fs::create_directory(t.tree / "sub");
        RunningTool tool({t.tree.native()}, start);
        ASSERT_TRUE(tool.errorHas("watching "));
        tool.closeUnreadOutput();
        act(t, tool.pid);
        EXPECT_EQ(tool.exitStatus(), status) << tool.output();
        if (message) {
            EXPECT_TRUE(tool.errorHas("tarnwick-watch: " + message(t))) << tool.output();
        }
    }
}

// A folder the tool cannot watch is named on standard error, with the
// reason, and watching goes on for the rest.
TEST(Tool, NamesEachFolderItCannotWatchAndWhy)
{
    struct Case {
        const char* name;
        Start start;
        std::function<void(const WatchedTree&)> before;
        // Makes what cannot be watched; the warning expected for it.
        std::function<std::string(const WatchedTree&, std::unique_ptr<TooDeepFolders>&)> act;
    };
    const auto locked = [](const WatchedTree& t) {
        EXPECT_EQ(::mkdir((t.tree / "locked").c_str(), 0), 0);
    };
    const auto lockedWarning = [](const WatchedTree& t) {
        return "not watching " + (t.tree / "locked").native() + ": Permission denied\n";
    };
    const Case cases[] = {
        {"unreadable folder at start", {.unprivileged = true}, locked,
         [&](const WatchedTree& t, auto&) { return lockedWarning(t); }},
        {"unreadable folder made later", {.unprivileged = true}, {},
         [&](const WatchedTree& t, auto&) {
             locked(t);
             return lockedWarning(t);
         }},
        {"watch limit reached after start", {.watchLimit = 50}, {},
         [](const WatchedTree& t, auto&) {
             for (int i = 10; i < 70; ++i) {
                 fs::create_directory(t.tree / ("d" + std::to_string(i)));
             }
             return "not watching " + (t.tree / "d69").native() +
                    ": inotify limit reached; raise /proc/sys/user/max_inotify_watches";
         }},
        {"folders nested past PATH_MAX", {}, {},
         [](const WatchedTree& t, std::unique_ptr<TooDeepFolders>& deep) {
             deep = std::make_unique<TooDeepFolders>(t.tree);
             return ": File name too long\n";
         }},
    };
    std::string skipped;
    for (const auto& [name, givenStart, before, act] : cases) {
        SCOPED_TRACE(name);
        WatchedTree t;
        if (before) {
            before(t);
        }
        Start start = givenStart;
        start.unprivileged = start.unprivileged && handToNobody(t);
        RunningTool tool({t.tree.native()}, start);
        if (!tool.startedWatching()) {
            if (start.watchLimit > 0 && tool.refusedANamespace()) {
                skipped += std::string(name) + ": the system refused the child a user namespace of its own; ";
            } else {
                ADD_FAILURE() << tool.output();
            }
            continue;
        }
        std::unique_ptr<TooDeepFolders> deep;
        const std::string warning = act(t, deep);
        EXPECT_TRUE(tool.errorHas(warning)) << tool.output();
        writeFile(t.tree / "after", "");
        EXPECT_TRUE(tool.outputHas("added\tafter\n")) << tool.output();
        ::kill(tool.pid, SIGTERM);
        EXPECT_EQ(tool.wait(), 0);
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

// Changes the system dropped are announced in the output itself, where a
// program that reads it must learn to look afresh: after the tool was held
// up itself, or by a reader that stopped reading. Held up, the tool reads
// nothing more, so the system's queue, not the tool, takes the backlog.
TEST(Tool, SaysSoInItsOutputWhenChangesWereLost)
{
    long queueLimit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queueLimit;
    if (queueLimit <= 0 || queueLimit > 1'000'000) {
        GTEST_SKIP() << "max_queued_events is " << queueLimit;
    }
    const struct {
        const char* format;
        const char* line;
        bool readerStalls;
    } cases[] = {
        {"--", "\noverflow\t\n", false},
        {"--json", "\n{\"kind\":\"overflow\",\"path\":\"\",\"time\":\"", false},
        {"--", "\noverflow\t\n", true},
    };
    for (const auto& [format, line, readerStalls] : cases) {
        SCOPED_TRACE(testing::Message() << format << (readerStalls ? ", reader stalls" : ""));
        WatchedTree t;
        RunningTool tool({format, t.tree.native()}, {.outputUnread = readerStalls});
        ASSERT_TRUE(tool.errorHas("watching "));
        if (readerStalls) {
            ASSERT_TRUE(tool.fillUnreadOutput(t.tree)) << "the output pipe never filled";
            writeFile(t.tree / "a");
            writeFile(t.tree / "b");
            const std::size_t residentBefore = tool.residentKiB();
            // Alternating names: the kernel merges an event identical to the
            // one queued just before it.
            constexpr int changes = 200'000;
            for (int i = 0; i < changes; ++i) {
                ASSERT_EQ(::utimensat(AT_FDCWD, (t.tree / (i % 2 ? "a" : "b")).c_str(), nullptr, 0), 0);
            }
            const std::size_t residentAfter = tool.residentKiB();
            RecordProperty("resident_kib_before_and_after_200000_changes",
                           std::to_string(residentBefore) + " " + std::to_string(residentAfter));
            EXPECT_LT(residentAfter, residentBefore + 2048) << "the tool took the backlog itself";
            tool.drainOutput();
        } else {
            ::kill(tool.pid, SIGSTOP);
            // Two events each (created, closed): more than the queue holds.
            makeNumberedFiles(t.tree, static_cast<int>(queueLimit / 2 + 1000));
            ::kill(tool.pid, SIGCONT);
        }
        EXPECT_TRUE(tool.outputHas(line)) << tool.output().substr(0, 2000);
        EXPECT_TRUE(tool.errorHas("changes were lost")) << tool.output().substr(0, 2000);
        writeFile(t.tree / "after", "");
        EXPECT_TRUE(tool.outputHas("after")) << "watching goes on";
        ::kill(tool.pid, SIGTERM);
        EXPECT_EQ(tool.wait(), 0);
    }
}

#endif

TEST(Tool, FailsWithTheSystemsMessageWhenTheWatchCannotStart)
{
    WatchedTree t;
    RunningTool tool({(t.tree / "missing").native()});
#ifdef _WIN32
    EXPECT_TRUE(tool.errorHas(std::system_category().message(ERROR_FILE_NOT_FOUND)));
#else
    EXPECT_TRUE(tool.errorHas("No such file or directory"));
#endif
    EXPECT_EQ(tool.wait(), 1);
}

// What the options choose to report, and how the tool then ends by itself:
// after the first change reported (-1), or with status 2 once nothing was
// reported for the timeout. Changes the options leave out count for neither.
TEST(Tool, ReportsWhatItsOptionsChoose)
{
    struct Case {
        std::vector<const char*> arguments;
        // Files made in turn (folders too, for a path), or removed for a
        // name starting with '-'; "a>b" renames.
        std::vector<std::string> act;
        // Times written as <time>.
        std::string printed;
        int status;
    };
    // Patterns that take a backtracking matcher exponential time on these
    // paths: the answer still comes at once, long before the timeout.
    std::string deepPath;
    for (int level = 0; level < 22; ++level) {
        deepPath += "d/";
    }
    deepPath += "x.upk";
    const std::string manyAs = std::string(24, 'a') + "b";
    const Case cases[] = {
        {{"-1"}, {"map.upk", "b"}, "added\tmap.upk\n", 0},
        {{"--one", "-e", "removed"}, {"a", "-a"}, "removed\ta\n", 0},
        {{"-1", "--event=renamed_new_name,overflow", "--format", "%k:%p|%%"}, {"a", "a>b"}, "renamed_new_name:b|%\n",
         0},
        {{"-1", "--exclude", "\\.tmp$"}, {"x.tmp", "map.upk"}, "added\tmap.upk\n", 0},
        {{"-1", "--include", "upk$", "--include=udk$"}, {"a.tmp", "b.udk"}, "added\tb.udk\n", 0},
        {{"-1", "--include", "^m", "--exclude", "old"}, {"mold.upk", "x.upk", "map.upk"}, "added\tmap.upk\n", 0},
        {{"--json", "-1", "-e", "removed"}, {"a", "-a"}, "{\"kind\":\"removed\",\"path\":\"a\",\"time\":\"<time>\"}\n",
         0},
        {{"--format", "%t %k", "-1"}, {"a"}, "<time> added\n", 0},
        {{"-e", "added", "-t", "1"}, {"a"}, "added\ta\n", 2},
        {{"-t", "0.5", "-e", "removed"}, {"a"}, "", 2},
        {{"-1", "--timeout=0.5"}, {}, "", 2},
#ifndef _WIN32
        // Wine misses folders made inside a new folder before it watches it.
        {{"-1", "-t", "5", "--include", "upk$", "--exclude", "(.*/)*node_modules/"}, {deepPath},
         "added\t" + deepPath + "\n", 0},
#endif
        {{"-1", "-t", "5", "--exclude", "(a+)+$"}, {manyAs}, "added\t" + manyAs + "\n", 0},
    };
    const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    for (const auto& [arguments, act, printed, status] : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        WatchedTree t;
        std::vector<PathString> given;
        for (const char* argument : arguments) {
            given.push_back(nativePath(argument));
        }
        given.push_back(t.tree.native());
        RunningTool tool(given);
        ASSERT_TRUE(tool.errorHas("watching ")) << tool.output();
        for (const auto& step : act) {
            if (step.starts_with('-')) {
                fs::remove(t.tree / step.substr(1));
            } else if (const auto arrow = step.find('>'); arrow != std::string::npos) {
                fs::rename(t.tree / step.substr(0, arrow), t.tree / step.substr(arrow + 1));
            } else {
                fs::create_directories((t.tree / step).parent_path());
                writeFile(t.tree / step, "");
            }
        }
        const auto [exitStatus, output] = tool.ended();
        EXPECT_EQ(std::regex_replace(output, time, "<time>"), printed);
        EXPECT_EQ(exitStatus, status);
    }
}

TEST(Tool, ExplainsItselfAndRejectsBadArguments)
{
    const struct {
        std::vector<PathString> arguments;
        bool toOutput;
        const char* says;
        int status;
    } cases[] = {
        {{nativePath("--help")}, true, "Usage: tarnwick-watch [OPTION]... PATH", 0},
        {{nativePath("--version")}, true, "tarnwick-watch " TARNWICK_WATCH_VERSION "\n", 0},
        {{}, false, "tarnwick-watch: no PATH given", 1},
        {{nativePath("a"), nativePath("b")}, false, "one PATH only", 1},
        {{nativePath("--bogus"), nativePath("x")}, false, "unknown option --bogus", 1},
        {{nativePath("-e"), nativePath("added,created"), nativePath("x")}, false, "unknown kind \"created\"", 1},
        {{nativePath("--exclude"), nativePath("("), nativePath("x")}, false, "invalid regular expression \"(\": ", 1},
        {{nativePath("--include=a[b"), nativePath("x")}, false, "invalid regular expression \"a[b\": ", 1},
        // Compiling it would recurse once a level, past the stack's end.
        {{nativePath("--include=" + std::string(30000, '(') + "a" + std::string(30000, ')')), nativePath("x")},
         false, "groups nested more than 100 deep", 1},
        {{nativePath("--format"), nativePath("%k %z"), nativePath("x")}, false, "unknown field %z in the format", 1},
        {{nativePath("--format=%k%"), nativePath("x")}, false, "unknown field % in the format", 1},
        {{nativePath("--json"), nativePath("--format"), nativePath("%k"), nativePath("x")}, false,
         "--format and --json exclude each other", 1},
        {{nativePath("-t"), nativePath("soon"), nativePath("x")}, false,
         "the timeout is a number of seconds, not \"soon\"", 1},
        {{nativePath("-t"), nativePath("-1"), nativePath("x")}, false,
         "the timeout is a number of seconds, not \"-1\"", 1},
        {{nativePath("-t")}, false, "option -t needs a value", 1},
        {{nativePath("--one=yes"), nativePath("x")}, false, "option --one takes no value", 1},
    };
    for (const auto& [arguments, toOutput, says, status] : cases) {
        SCOPED_TRACE(says);
        RunningTool tool(arguments);
        EXPECT_TRUE(toOutput ? tool.outputHas(says) : tool.errorHas(says)) << tool.output();
        EXPECT_EQ(tool.wait(), status);
    }
}

}  // namespace
}  // namespace filewatch::tests
