// tarnwick-watch: prints what the directory watcher reports, one line per
// change, until interrupted, after the first change (-1) or at a timeout.
#include "ChangeLine.h"
#include "PathPattern.h"
#include "Platform.h"
#include "StopRequest.h"

#include <filewatch/DirectoryWatcher.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

using filewatch::PathString;
using tarnwick_watch::Clock;
using tarnwick_watch::LineKind;
using tarnwick_watch::PathPattern;
using tarnwick_watch::StopRequest;
using tarnwick_watch::utf8Text;

std::string usage()
{
    return std::string("Usage: tarnwick-watch [OPTION]... PATH\n"
                       "\n"
                       "Watches PATH and everything below it and prints one line per change,\n"
                       "\"<kind>\\t<path relative to PATH>\", kind being added, removed, modified,\n"
                       "renamed_old_name or renamed_new_name. If PATH is a file, watches its\n"
                       "folder and reports only changes to entries of that name.\n"
                       "\n"
                       "The line \"overflow\\t\" (empty path) says that changes were lost: look\n"
                       "at PATH afresh. ") +
           tarnwick_watch::namesHelp +
           "A folder that cannot be watched is named on standard error, with the\n"
           "reason.\n"
           "\n" +
           tarnwick_watch::stopHelp +
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
           "                       unless given\n" +
           tarnwick_watch::jsonHelp +
           "      --version        print the version\n"
           "  -h, --help           print this text\n"
           "\n"
           "Exit status: 0 when stopped, or after the first change with -1; 1 for\n"
           "wrong arguments, when PATH cannot be watched, is deleted or moved away,\n"
           "when watching fails, or the output cannot be written; 2 when the\n"
           "timeout passed.\n";
}

const char versionText[] = "tarnwick-watch " TARNWICK_WATCH_VERSION "\n";

template <std::size_t N>
PathString nativeText(const char (&text)[N])
{
    return PathString(text, text + N - 1);
}

// Standard output, one whole line per write, from the watcher's thread. The
// first failed write ends the program with a message; once stopping,
// nothing more is written. No lock on the way of a line: it is latency.
class Output {
public:
    // `justOne`: the first line written ends the program. `timed`: the
    // time of each write is kept, for stopIfIdle.
    Output(StopRequest& stop, bool justOne, bool timed) : stop(stop), justOne(justOne), timed(timed) {}

    void write(const std::string& line)
    {
        // Set before stopping is looked at, as stopWriting sets stopping
        // before it looks at this: one of the two sees the other.
        writing.store(true);
        if (stopping.load() || (justOne && stopping.exchange(true))) {
            writing.store(false);
            return;
        }
        if (timed) {
            lastWrite.store(Clock::now().time_since_epoch().count());
        }
        const int error = tarnwick_watch::writeOutput(line);
        writing.store(false);
        if (error != 0) {
            if (!stopping.exchange(true)) {
                std::fprintf(stderr, "tarnwick-watch: writing the output failed: %s\n",
                             std::generic_category().message(error).c_str());
            }
            stop.end(1);
        } else if (justOne) {
            stop.end(0);
        }
    }

    // Lets no further write begin if none began in the last `idle`, counted
    // from the first call at the latest; otherwise when that may be.
    std::optional<Clock::time_point> stopIfIdle(Clock::duration idle)
    {
        const auto now = Clock::now();
        Clock::rep unset = 0;
        lastWrite.compare_exchange_strong(unset, now.time_since_epoch().count());
        const Clock::time_point last{Clock::duration(lastWrite.load())};
        if (now - last < idle) {
            return last + idle;
        }
        stopping.store(true);
        return std::nullopt;
    }

    // Lets no further write begin. False when one is under way: its reader
    // may have stopped reading, and then nothing can wait for it.
    bool stopWriting()
    {
        stopping.store(true);
        return !writing.load();
    }

private:
    StopRequest& stop;
    const bool justOne;
    const bool timed;
    std::atomic<bool> stopping{false};
    std::atomic<bool> writing{false};
    // Clock::rep of the last write's start; 0 before any.
    std::atomic<Clock::rep> lastWrite{0};
};

// What the command line asks for.
struct Request {
    const PathString* path = nullptr;
    // None set: every kind.
    std::bitset<std::size(tarnwick_watch::lineKinds)> kinds;
    std::vector<PathPattern> includes;
    std::vector<PathPattern> excludes;
    std::optional<tarnwick_watch::LineFormat> format;
    bool json = false;
    bool justOne = false;
    std::optional<Clock::duration> timeout;
    // --help or --version: print this and exit.
    std::optional<std::string> text;

    bool reports(LineKind kind, const PathString& changedPath) const
    {
        const auto found = [&](const PathPattern& pattern) { return pattern.foundIn(changedPath); };
        return (kinds.none() || kinds.test(static_cast<std::size_t>(kind))) &&
               (kind == LineKind::overflow ||
                ((includes.empty() || std::ranges::any_of(includes, found)) && std::ranges::none_of(excludes, found)));
    }
};

// Wrong arguments are std::invalid_argument, their message for the user.
void addKinds(Request& request, const PathString& value)
{
    const std::string list = utf8Text(value);
    for (std::size_t from = 0, to = 0; to != std::string::npos; from = to + 1) {
        to = list.find(',', from);
        const std::string name = list.substr(from, to - from);
        const auto kind = tarnwick_watch::lineKindNamed(name);
        if (!kind) {
            throw std::invalid_argument("unknown kind \"" + name + "\"");
        }
        request.kinds.set(static_cast<std::size_t>(*kind));
    }
}

void setTimeout(Request& request, const PathString& value)
{
    const std::string text = utf8Text(value);
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
    {0, "exclude", true, [](Request& r, const PathString& value) { r.excludes.emplace_back(value); }},
    {0, "include", true, [](Request& r, const PathString& value) { r.includes.emplace_back(value); }},
    {'1', "one", false, [](Request& r, const PathString&) { r.justOne = true; }},
    {'t', "timeout", true, setTimeout},
    {0, "format", true, [](Request& r, const PathString& value) { r.format.emplace(utf8Text(value)); }},
    {0, "json", false, [](Request& r, const PathString&) { r.json = true; }},
    {0, "version", false, [](Request& r, const PathString&) { r.text = versionText; }},
    {'h', "help", false, [](Request& r, const PathString&) { r.text = usage(); }},
};

const Option& optionNamed(const std::string& given, bool named)
{
    const auto option = std::ranges::find_if(options, [&](const Option& option) {
        return named ? given.substr(2) == option.name : given.size() == 2 && given[1] == option.letter;
    });
    if (option == std::end(options)) {
        throw std::invalid_argument("unknown option " + given);
    }
    return *option;
}

// Options as getopt_long takes them, bar bundled letters: -e KIND,
// --event KIND, --event=KIND.
Request parse(const std::vector<PathString>& arguments)
{
    Request request;
    bool optionsEnded = false;
    for (auto argument = arguments.begin(); argument != arguments.end() && !request.text; ++argument) {
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
        const std::string given = utf8Text(argument->substr(0, equals));
        const Option& option = optionNamed(given, named);
        PathString value;
        if (equals != PathString::npos) {
            if (!option.takesValue) {
                throw std::invalid_argument("option " + given + " takes no value");
            }
            value = argument->substr(equals + 1);
        } else if (option.takesValue) {
            if (std::next(argument) == arguments.end()) {
                throw std::invalid_argument("option " + given + " needs a value");
            }
            value = *++argument;
        }
        option.apply(request, value);
    }
    if (request.text) {
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

// One watch of PATH, from its start to the exit status.
class Session {
public:
    explicit Session(const Request& request)
        : request(request),
          format(request.json ? tarnwick_watch::LineFormat::json()
                              : request.format.value_or(tarnwick_watch::LineFormat())),
          showsTime(format.showsTime()),
          shownPath(tarnwick_watch::textPath(*request.path)),
          output(stop, request.justOne, request.timeout.has_value())
    {
    }

    // Throws std::system_error when PATH cannot be watched.
    void start()
    {
        filewatch::DirectoryWatcher::Options options;
        options.reportLineBreakNames = true;
        // The callback only formats and writes a line: no hand-over to a
        // second thread. A reader that stops reading then stalls the reading
        // of changes, and the system's queue, not this process, takes the
        // backlog, until the overflow line says changes were lost.
        options.delivery = filewatch::DirectoryWatcher::Delivery::monitor_thread;
        options.onWarning = [this](const filewatch::Warning& warning) { warn(warning); };
        watcher = std::make_unique<filewatch::DirectoryWatcher>(
            *request.path,
            [this](const PathString& changedPath, filewatch::Event kind) {
                report(tarnwick_watch::lineKindOf(kind), changedPath);
            },
            std::move(options));
        std::fprintf(stderr, "watching %s\n", shownPath.c_str());
    }

    // Waits for a stop, the first change with -1, or the timeout.
    int waitForTheEnd()
    {
        // With a timeout, as inotifywait's: it passes when nothing was
        // reported for that long, the wait starting again at each report.
        std::optional<int> status;
        while (!status) {
            const auto until = request.timeout ? output.stopIfIdle(*request.timeout) : Clock::time_point::max();
            status = until ? stop.wait(*until) : 2;
        }
        if (!output.stopWriting()) {
            // A write is blocked, or about to end: joining the watcher's
            // thread could wait for ever, and the system releases everything
            // it holds.
            std::fflush(stderr);
            std::_Exit(*status);
        }
        watcher.reset();
        return *status;
    }

private:
    void report(LineKind kind, const PathString& changedPath)
    {
        if (request.reports(kind, changedPath)) {
            const auto time = showsTime ? std::chrono::system_clock::now() : std::chrono::system_clock::time_point();
            output.write(format.line(kind, changedPath, time));
        }
    }

    void warn(const filewatch::Warning& warning)
    {
        using filewatch::WarningKind;
        switch (warning.kind) {
        case WarningKind::overflow:
            report(LineKind::overflow, {});
            std::fprintf(stderr, "tarnwick-watch: %s; look at %s afresh\n", warning.reason.c_str(),
                         shownPath.c_str());
            break;
        case WarningKind::not_watched:
            std::fprintf(stderr, "tarnwick-watch: not watching %s: %s\n", below(warning.path).c_str(),
                         warning.reason.c_str());
            break;
        case WarningKind::root_removed:
        case WarningKind::root_moved:
            // Watching on would report nothing, or report under paths that
            // are no longer below PATH.
            std::fprintf(stderr, "tarnwick-watch: %s: %s; stopping\n", shownPath.c_str(), warning.reason.c_str());
            stop.end(1);
            break;
        case WarningKind::stopped:
            std::fprintf(stderr, "tarnwick-watch: %s: watching failed: %s; stopping\n", shownPath.c_str(),
                         warning.reason.c_str());
            stop.end(1);
            break;
        }
    }

    // Where a warning's folder is: PATH itself, or a folder below it.
    std::string below(const PathString& relative) const
    {
        if (relative.empty()) {
            return shownPath;
        }
        const char* separator = tarnwick_watch::pathSeparator;
        return shownPath + (shownPath.ends_with(separator) ? "" : separator) + tarnwick_watch::textPath(relative);
    }

    const Request& request;
    const tarnwick_watch::LineFormat format;
    const bool showsTime;
    const std::string shownPath;
    // Declared before the watcher, whose callbacks use them, so destroyed
    // after it.
    StopRequest stop;
    Output output;
    std::unique_ptr<filewatch::DirectoryWatcher> watcher;
};

int run(const std::vector<PathString>& arguments)
{
    tarnwick_watch::useBinaryOutput();
    Request request;
    try {
        request = parse(arguments);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "tarnwick-watch: %s\n%s", error.what(), usage().c_str());
        return 1;
    }
    if (request.text) {
        std::fputs(request.text->c_str(), stdout);
        return 0;
    }
    std::unique_ptr<Session> session;
    try {
        session = std::make_unique<Session>(request);
        session->start();
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "tarnwick-watch: %s: %s\n", tarnwick_watch::textPath(*request.path).c_str(),
                     error.what());
        return 1;
    }
    return session->waitForTheEnd();
}

}  // namespace

#ifdef _WIN32
// wmain: the arguments arrive as UTF-16, so no path is lost to a code page.
int wmain(int argc, wchar_t** argv)
#else
int main(int argc, char** argv)
#endif
{
    return run(std::vector<PathString>(argv + 1, argv + argc));
}
