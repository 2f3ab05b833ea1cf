// tarnwick-watch: prints what the directory watcher reports, one line per
// change, until interrupted, after the first change (-1) or at a timeout.
// Over 400 lines as one file: it reads as one run, from the options through
// the watch to the exit status.
#include "ChangeLine.h"
#include "StopRequest.h"

#include <filewatch/DirectoryWatcher.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

using filewatch::PathString;

const char usage[] =
    "Usage: tarnwick-watch [OPTION]... PATH\n"
    "\n"
    "Watches PATH and everything below it and prints one line per change,\n"
    "\"<kind>\\t<path relative to PATH>\", kind being added, removed, modified,\n"
    "renamed_old_name or renamed_new_name. If PATH is a file, watches its\n"
    "folder and reports only changes to entries of that name.\n"
    "\n"
    "The line \"overflow\\t\" (empty path) says that the system dropped changes:\n"
    "look at PATH afresh. A line break in a name is written as \\n or \\r\n"
    "(\\u2028, \\u2029 on Windows); --json gives every name exactly. A folder\n"
    "that cannot be watched is named on standard error, with the reason.\n"
    "\n"
#ifdef _WIN32
    "Prints \"watching PATH\" to standard error once watching runs, and stops\n"
    "on Ctrl+C, Ctrl+Break or when its console closes. Paths are printed as\n"
    "UTF-8.\n"
#else
    "Prints \"watching PATH\" to standard error once watching runs, and stops\n"
    "on Ctrl+C (SIGINT) or SIGTERM.\n"
#endif
    "\n"
    "  -e, --event KIND     report only changes of this kind: added, removed,\n"
    "                       modified, renamed_old_name, renamed_new_name or\n"
    "                       overflow; repeat it or give kinds with commas\n"
    "      --exclude REGEX  report no path that REGEX matches\n"
    "      --include REGEX  report only paths that REGEX matches\n"
    "                       (POSIX extended, found anywhere in the path\n"
    "                       relative to PATH; the overflow line is kept)\n"
    "  -1, --one            exit after the first change reported\n"
    "  -t, --timeout SECONDS\n"
    "                       exit with status 2 once SECONDS pass with no\n"
    "                       change reported; 0 waits for ever\n"
    "      --format FMT     print FMT for each change, a newline after it:\n"
    "                       %k the kind, %p the path, %t the time in UTC\n"
    "                       (2026-12-09T18:20:31.123Z), %% a %; \"%k\\t%p\"\n"
    "                       unless given\n"
#ifdef _WIN32
    "      --json           print JSON Lines: {\"kind\":\"added\",\"path\":\"a\\\\b\",\n"
    "                       \"time\":\"...\"}. A lone surrogate in a name is\n"
    "                       written as its \\uXXXX escape.\n"
#else
    "      --json           print JSON Lines: {\"kind\":\"added\",\"path\":\"a/b\",\n"
    "                       \"time\":\"...\"}. A byte that is not UTF-8 is\n"
    "                       written as \\udcXX (XX its hex value).\n"
#endif
    "      --version        print the version\n"
    "  -h, --help           print this text\n"
    "\n"
    "Exit status: 0 when stopped, or after the first change with -1; 1 for\n"
    "wrong arguments, when PATH cannot be watched, is deleted or moved away,\n"
    "or the output cannot be written; 2 when the timeout passed.\n";

const char versionText[] = "tarnwick-watch " TARNWICK_WATCH_VERSION "\n";

using tarnwick_watch::Clock;
using tarnwick_watch::StopRequest;

template <std::size_t N>
PathString nativeText(const char (&text)[N])
{
    return PathString(text, text + N - 1);
}

#ifdef _WIN32
const char* const separator = "\\";
#else
const char* const separator = "/";
#endif

std::string printable(const PathString& text)
{
#ifdef _WIN32
    return tarnwick_watch::utf8(text);
#else
    return text;
#endif
}

// Standard output, one whole line per write, from the delivery thread. The
// first failed write ends the program with a message; once stopping,
// nothing more is written.
class Output {
public:
    // `justOne`: the first line written ends the program.
    Output(StopRequest& stop, bool justOne) : stop(stop), justOne(justOne) {}

    void write(const std::string& line)
    {
        {
            std::lock_guard lock(mutex);
            if (stopping || failed) {
                return;
            }
            writing = true;
            stopping = justOne;
            lastWrite = Clock::now();
        }
        errno = 0;
        const bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && std::fflush(stdout) == 0;
        const int error = errno;
        {
            std::lock_guard lock(mutex);
            writing = false;
            failed = !written;
        }
        if (!written) {
            std::fprintf(stderr, "tarnwick-watch: writing the output failed: %s\n",
                         std::generic_category().message(error).c_str());
            stop.end(1);
        } else if (justOne) {
            stop.end(0);
        }
    }

    // Lets no further write begin if none began in the last `idle`, counted
    // from the first call at the latest; otherwise when that may be.
    std::optional<Clock::time_point> stopIfIdle(Clock::duration idle)
    {
        std::lock_guard lock(mutex);
        const auto now = Clock::now();
        lastWrite = lastWrite.value_or(now);
        if (now - *lastWrite < idle) {
            return *lastWrite + idle;
        }
        stopping = true;
        return std::nullopt;
    }

    // Lets no further write begin. False when one is under way: its reader
    // may have stopped reading, and then nothing can wait for it.
    bool stopWriting()
    {
        std::lock_guard lock(mutex);
        stopping = true;
        return !writing;
    }

private:
    StopRequest& stop;
    const bool justOne;
    std::mutex mutex;
    std::optional<Clock::time_point> lastWrite;
    bool stopping = false;
    bool writing = false;
    bool failed = false;
};

using Regex = std::basic_regex<PathString::value_type>;

// What the command line asks for.
struct Request {
    const PathString* path = nullptr;
    // Empty: every kind.
    std::vector<std::string> kinds;
    std::vector<Regex> includes;
    std::vector<Regex> excludes;
    std::optional<tarnwick_watch::LineFormat> format;
    bool json = false;
    bool justOne = false;
    std::optional<Clock::duration> timeout;
    // --help or --version: print this and exit.
    const char* text = nullptr;

    bool reports(std::string_view kind, const PathString& changedPath) const
    {
        const auto found = [&](const Regex& regex) { return std::regex_search(changedPath, regex); };
        return (kinds.empty() || std::ranges::find(kinds, kind) != kinds.end()) &&
               (kind == "overflow" ||
                ((includes.empty() || std::ranges::any_of(includes, found)) && std::ranges::none_of(excludes, found)));
    }
};

// Wrong arguments are std::invalid_argument, their message for the user.
Regex regexFrom(const PathString& value)
{
    try {
        return Regex(value, std::regex::extended | std::regex::nosubs);
    } catch (const std::regex_error& error) {
        throw std::invalid_argument("invalid regular expression \"" + printable(value) + "\": " + error.what());
    }
}

void addKinds(Request& request, const PathString& value)
{
    const std::string list = printable(value);
    for (std::size_t from = 0, to = 0; to != std::string::npos; from = to + 1) {
        to = list.find(',', from);
        const std::string kind = list.substr(from, to - from);
        using enum filewatch::Event;
        const filewatch::Event events[] = {added, removed, modified, renamed_old_name, renamed_new_name};
        if (kind != "overflow" && std::ranges::none_of(events, [&](auto event) { return kind == toString(event); })) {
            throw std::invalid_argument("unknown kind \"" + kind + "\"");
        }
        request.kinds.push_back(kind);
    }
}

void setTimeout(Request& request, const PathString& value)
{
    const std::string text = printable(value);
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds >= 0 && seconds <= 1e9)) {
        throw std::invalid_argument("the timeout is a number of seconds, not \"" + text + "\"");
    }
    // 0 waits for ever, as inotifywait's does.
    request.timeout.reset();
    if (seconds > 0) {
        request.timeout = std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
    }
}

struct Option {
    char letter;  // 0: none
    const char* name;
    bool takesValue;
    void (*apply)(Request&, const PathString& value);
};

const Option options[] = {
    {'e', "event", true, addKinds},
    {0, "exclude", true, [](Request& r, const PathString& value) { r.excludes.push_back(regexFrom(value)); }},
    {0, "include", true, [](Request& r, const PathString& value) { r.includes.push_back(regexFrom(value)); }},
    {'1', "one", false, [](Request& r, const PathString&) { r.justOne = true; }},
    {'t', "timeout", true, setTimeout},
    {0, "format", true, [](Request& r, const PathString& value) { r.format.emplace(printable(value)); }},
    {0, "json", false, [](Request& r, const PathString&) { r.json = true; }},
    {0, "version", false, [](Request& r, const PathString&) { r.text = versionText; }},
    {'h', "help", false, [](Request& r, const PathString&) { r.text = usage; }},
};

// Options as getopt_long takes them, bar bundled letters: -e KIND,
// --event KIND, --event=KIND.
Request parse(const std::vector<PathString>& arguments)
{
    Request request;
    bool optionsEnded = false;
    for (auto argument = arguments.begin(); argument != arguments.end() && request.text == nullptr; ++argument) {
        if (optionsEnded || argument->size() < 2 || (*argument)[0] != '-') {
            if (request.path != nullptr) {
                throw std::invalid_argument("one PATH only");
            }
            request.path = &*argument;
            continue;
        }
        if (*argument == nativeText("--")) {
            optionsEnded = true;
            continue;
        }
        const bool named = (*argument)[1] == '-';
        const auto equals = named ? argument->find('=') : PathString::npos;
        const std::string given = printable(argument->substr(0, equals));
        const auto option = std::ranges::find_if(options, [&](const Option& option) {
            return named ? given.substr(2) == option.name : given.size() == 2 && given[1] == option.letter;
        });
        if (option == std::end(options)) {
            throw std::invalid_argument("unknown option " + given);
        }
        PathString value;
        if (equals != PathString::npos) {
            if (!option->takesValue) {
                throw std::invalid_argument("option " + given + " takes no value");
            }
            value = argument->substr(equals + 1);
        } else if (option->takesValue) {
            if (std::next(argument) == arguments.end()) {
                throw std::invalid_argument("option " + given + " needs a value");
            }
            value = *++argument;
        }
        option->apply(request, value);
    }
    if (request.text != nullptr) {
        return request;
    }
    if (request.json && request.format) {
        throw std::invalid_argument("--format and --json exclude each other");
    }
    if (request.path == nullptr) {
        throw std::invalid_argument("no PATH given");
    }
    return request;
}

int run(const std::vector<PathString>& arguments)
{
#ifdef _WIN32
    // Lines end in "\n" as on every platform, for whatever reads them.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    Request request;
    try {
        request = parse(arguments);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "tarnwick-watch: %s\n%s", error.what(), usage);
        return 1;
    }
    if (request.text != nullptr) {
        std::fputs(request.text, stdout);
        return 0;
    }
    const PathString& path = *request.path;
    const auto format =
        request.json ? tarnwick_watch::LineFormat::json() : request.format.value_or(tarnwick_watch::LineFormat());
    const std::string shownPath = tarnwick_watch::textPath(path);
    // Where a warning's folder is: PATH itself, or a folder below it.
    const auto below = [&](const PathString& relative) {
        if (relative.empty()) {
            return shownPath;
        }
        return shownPath + (shownPath.ends_with(separator) ? "" : separator) + tarnwick_watch::textPath(relative);
    };
    // Declared after what their callbacks use, so destroyed before it.
    std::unique_ptr<StopRequest> stop;
    std::unique_ptr<Output> output;
    std::unique_ptr<filewatch::DirectoryWatcher> watcher;
    const auto report = [&](std::string_view kind, const PathString& changedPath) {
        if (request.reports(kind, changedPath)) {
            output->write(format.line(kind, changedPath, std::chrono::system_clock::now()));
        }
    };
    try {
        stop = std::make_unique<StopRequest>();
        output = std::make_unique<Output>(*stop, request.justOne);
        filewatch::DirectoryWatcher::Options options;
        options.reportLineBreakNames = true;
        options.onWarning = [&](const filewatch::Warning& warning) {
            using filewatch::WarningKind;
            switch (warning.kind) {
            case WarningKind::overflow:
                report("overflow", {});
                std::fprintf(stderr, "tarnwick-watch: %s; look at %s afresh\n", warning.reason.c_str(),
                             shownPath.c_str());
                break;
            case WarningKind::not_watched:
                std::fprintf(stderr, "tarnwick-watch: not watching %s: %s\n", below(warning.path).c_str(),
                             warning.reason.c_str());
                break;
            case WarningKind::root_removed:
            case WarningKind::root_moved:
                // Watching on would report nothing, or report under paths
                // that are no longer below PATH.
                std::fprintf(stderr, "tarnwick-watch: %s: %s; stopping\n", shownPath.c_str(),
                             warning.reason.c_str());
                stop->end(1);
                break;
            }
        };
        watcher = std::make_unique<filewatch::DirectoryWatcher>(
            path, [&](const PathString& changedPath, filewatch::Event kind) { report(toString(kind), changedPath); },
            std::move(options));
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "tarnwick-watch: %s: %s\n", shownPath.c_str(), error.what());
        return 1;
    }
    std::fprintf(stderr, "watching %s\n", shownPath.c_str());
    // With a timeout, as inotifywait's: it passes when nothing was reported
    // for that long, the wait starting again at each report.
    std::optional<int> status;
    while (!status) {
        const auto until = request.timeout ? output->stopIfIdle(*request.timeout) : Clock::time_point::max();
        status = until ? stop->wait(*until) : 2;
    }
    if (!output->stopWriting()) {
        // A write is blocked, or about to end: joining the watcher's threads
        // could wait forever, and the system releases everything they hold.
        std::fflush(stderr);
        std::_Exit(*status);
    }
    watcher.reset();
    return *status;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
#else
int main(int argc, char** argv)
#endif
{
    return run(std::vector<PathString>(argv + 1, argv + argc));
}
