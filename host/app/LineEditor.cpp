// One file on purpose: libedit's callbacks, the reading thread and the output
// shown above the line all work on the same editor state under one lock.
#include "LineEditor.h"

#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "Completion.h"
#include "posix/Pipe.h"
#include "tarnwick/host/Host.h"

#if defined(__SANITIZE_ADDRESS__)
// libedit keeps its wcsdup copies of the names and help texts of functions
// added with EL_ADDFN after el_end; that is its memory, not ours to free. The
// stack of such a leak ends in libc's wcsdup, which this program never calls.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:wcsdup\n";
}
#endif

namespace tarnwick::host::app {
namespace {

constexpr char promptEscape = '\1';
constexpr const char* pipeFailure = "cannot create a pipe for the console";

LineEditor& editorOf(EditLine* el)
{
    void* editor = nullptr;
    el_get(el, EL_CLIENTDATA, &editor);
    return *static_cast<LineEditor*>(editor);
}

std::string visiblePrompt(std::string_view prompt)
{
    std::string visible;
    bool literal = false;
    for (const char c : prompt) {
        if (c == promptEscape) {
            literal = !literal;
        } else if (!literal) {
            visible += c;
        }
    }
    return visible;
}

// libedit drops escapes at the very end of a prompt, so the reset goes
// before its last character.
std::string styledPrompt(std::string_view prompt)
{
    if (prompt.empty()) return {};
    return fmt::format("{0}\033[1;36m{0}{1}{0}\033[0m{0}{2}", promptEscape, prompt.substr(0, prompt.size() - 1),
                       prompt.back());
}

}  // namespace

struct LineEditor::Handles {
    EditLine* el = nullptr;
    History* history = nullptr;
    Pipe wake{O_NONBLOCK, pipeFailure};  // output is queued
    Pipe stop{0, pipeFailure};           // stop() was called
    SignalPipe signals{{SIGINT, SIGWINCH}};
    std::mbstate_t state{};
    std::size_t promptWidth = 0;
    bool stopped = false;  // reading thread only
    bool started = false;
};

LineEditor::LineEditor(std::string prompt, bool colour, std::filesystem::path historyFile)
    : handles(std::make_unique<Handles>()),
      prompt(colour ? styledPrompt(prompt) : prompt),
      historyFile(std::move(historyFile))
{
    auto& h = *handles;
    h.promptWidth = visiblePrompt(this->prompt).size();
    h.el = el_init("tarnwick-host", stdin, stdout, stderr);
    h.history = history_init();
    if (h.el == nullptr || h.history == nullptr) {
        if (h.el != nullptr) el_end(h.el);
        if (h.history != nullptr) history_end(h.history);
        throw std::system_error(errno != 0 ? errno : ENOMEM, std::system_category(), "cannot start line editing");
    }
    HistEvent event;
    history(h.history, &event, H_SETSIZE, 1000);
    history(h.history, &event, H_SETUNIQUE, 1);
    history(h.history, &event, H_LOAD, this->historyFile.c_str());  // none yet on a first run

    el_set(h.el, EL_CLIENTDATA, this);
    el_set(h.el, EL_EDITOR, "emacs");
    el_set(h.el, EL_SIGNAL, 0);  // its handlers re-raise to the whole process group
    el_set(h.el, EL_HIST, history, h.history);
    el_set(h.el, EL_PROMPT_ESC, +[](EditLine* el) { return editorOf(el).prompt.data(); }, promptEscape);
    el_set(h.el, EL_GETCFN, +[](EditLine* el, wchar_t* c) { return editorOf(el).readCharacter(c); });
    el_set(h.el, EL_ADDFN, "tw-complete", "complete a command or variable name",
           +[](EditLine* el, int) { return editorOf(el).completeWord(); });
    el_set(h.el, EL_ADDFN, "tw-interrupt", "discard the line", +[](EditLine* el, int) {
        return editorOf(el).interrupt();
    });
    el_set(h.el, EL_BIND, "^I", "tw-complete", nullptr);
    el_set(h.el, EL_BIND, "^C", "tw-interrupt", nullptr);
}

LineEditor::~LineEditor()
{
    stop();
    auto& h = *handles;
    el_end(h.el);
    history_end(h.history);
}

void LineEditor::start(NamesSource names, LineCallback onLine, EndCallback onEnd, InterruptCallback onInterrupt)
{
    this->names = std::move(names);
    this->onLine = std::move(onLine);
    this->onEnd = std::move(onEnd);
    this->onInterrupt = std::move(onInterrupt);
    handles->started = true;
    thread = std::thread([this] { read(); });
}

void LineEditor::stop()
{
    if (!thread.joinable()) return;
    handles->stop.notify();
    thread.join();
}

void LineEditor::read()
{
    auto& h = *handles;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            editing = true;
        }
        int count = 0;
        const char* got = el_gets(h.el, &count);
        std::string line = got != nullptr ? std::string(got) : std::string();
        {
            std::lock_guard lock(mutex);
            editing = false;
            if (!queued.empty()) writeTerminal(std::exchange(queued, {}));
        }
        if (h.stopped) return;
        if (got == nullptr) {
            writeTerminal("\n");  // Ctrl-D leaves the cursor after the prompt
            onEnd();
            return;
        }
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) {
            HistEvent event;
            history(h.history, &event, H_ENTER, line.c_str());
            if (history(h.history, &event, H_SAVE, historyFile.c_str()) < 0 && !historyErrorShown) {
                historyErrorShown = true;
                write(fmt::format("cannot save the console history to {}; it is kept for this run only\n",
                                  consoleText(historyFile.string())));
            }
        }
        onLine(std::move(line));
    }
}

int LineEditor::readCharacter(wchar_t* character)
{
    auto& h = *handles;
    for (;;) {
        pollfd watched[] = {{h.stop.readEnd(), POLLIN, 0},
                            {h.signals.readEnd(), POLLIN, 0},
                            {h.wake.readEnd(), POLLIN, 0},
                            {STDIN_FILENO, POLLIN, 0}};
        if (::poll(watched, std::size(watched), -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (watched[0].revents != 0) {
            eraseLine();
            h.stopped = true;
            return 0;
        }
        if (watched[1].revents != 0) {
            if (const auto signal = h.signals.next()) {
                if (*signal == SIGINT) {
                    *character = 3;  // bound to tw-interrupt
                    return 1;
                }
                if (*signal == SIGWINCH) el_resize(h.el);
                continue;
            }
        }
        if (watched[2].revents != 0) {
            h.wake.drain();
            showQueuedOutput();
        }
        if (watched[3].revents != 0) {
            char byte = 0;
            const ssize_t count = ::read(STDIN_FILENO, &byte, 1);
            if (count == 0) return 0;
            if (count < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                return -1;
            }
            if (byte == '\0') {
                // Between two lines the terminal is in cooked mode, where the
                // kernel keeps a Ctrl-D as a NUL that raw mode then hands over.
                // On an empty line that NUL is the end of input typed ahead.
                const LineInfo* line = el_line(h.el);
                if (line->buffer == line->lastchar) return 0;
            }
            wchar_t decoded = 0;
            const std::size_t used = std::mbrtowc(&decoded, &byte, 1, &h.state);
            if (used == static_cast<std::size_t>(-2)) continue;  // more bytes of one character to come
            if (used == static_cast<std::size_t>(-1)) {
                h.state = {};  // an invalid byte is dropped, as libedit's own reader does
                continue;
            }
            *character = decoded;
            return 1;
        }
    }
}

unsigned char LineEditor::completeWord()
{
    auto& h = *handles;
    const LineInfo* info = el_line(h.el);
    const std::string before(info->buffer, info->cursor);
    const auto completion = complete(before, names());
    if (completion.matches.empty()) return CC_REFRESH_BEEP;
    const std::string word = before.substr(completion.wordStart);
    if (completion.matches.size() == 1) {
        el_insertstr(h.el, (completion.matches.front().substr(word.size()) + " ").c_str());
        return CC_REFRESH;
    }
    const std::string shared = commonPrefix(completion.matches);
    if (shared.size() > word.size()) {
        el_insertstr(h.el, shared.substr(word.size()).c_str());
        return CC_REFRESH;
    }
    // Nothing more to add: list the choices above the line.
    int columns = 80;
    el_get(h.el, EL_GETTC, "co", &columns);
    std::size_t width = 0;
    std::vector<std::string> shown;
    for (const auto& match : completion.matches) shown.push_back(consoleText(match));
    for (const auto& match : shown) width = std::max(width, match.size() + 2);
    const std::size_t perRow = std::max<std::size_t>(1, static_cast<std::size_t>(std::max(columns, 1)) / width);
    std::string list = "\r\n";
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const bool rowEnds = (i + 1) % perRow == 0 || i + 1 == shown.size();
        list += rowEnds ? shown[i] + "\r\n" : fmt::format("{:<{}}", shown[i], width);
    }
    writeTerminal(list);
    return CC_REDISPLAY;
}

unsigned char LineEditor::interrupt()
{
    auto& h = *handles;
    const LineInfoW* info = el_wline(h.el);
    const bool wasEmpty = info->lastchar == info->buffer;
    el_cursor(h.el, static_cast<int>(info->lastchar - info->cursor));
    info = el_wline(h.el);
    el_deletestr(h.el, static_cast<int>(info->cursor - info->buffer));
    const bool interrupted = onInterrupt && onInterrupt();
    writeTerminal(wasEmpty && !interrupted ? "^C (type quit or press Ctrl-D to leave)\r\n" : "^C\r\n");
    return CC_REDISPLAY;
}

void LineEditor::write(std::string text)
{
    std::lock_guard lock(mutex);
    if (!editing) {
        writeTerminal(text);
        return;
    }
    const bool wake = queued.empty();
    queued += text;
    if (wake) handles->wake.notify();
}

void LineEditor::showQueuedOutput()
{
    std::string text;
    {
        std::lock_guard lock(mutex);
        text = std::exchange(queued, {});
    }
    if (text.empty()) return;
    // The line being edited is in raw mode: a line feed alone may not
    // return the carriage.
    std::string lines;
    for (const char c : text) {
        if (c == '\n') lines += '\r';
        lines += c;
    }
    eraseLine();
    writeTerminal(lines);
    el_set(handles->el, EL_REFRESH);
}

void LineEditor::eraseLine()
{
    auto& h = *handles;
    const LineInfoW* info = el_wline(h.el);
    int columns = 80;
    el_get(h.el, EL_GETTC, "co", &columns);
    const auto before = h.promptWidth + static_cast<std::size_t>(info->cursor - info->buffer);
    const std::size_t rows = columns > 0 ? before / static_cast<std::size_t>(columns) : 0;
    writeTerminal(rows > 0 ? fmt::format("\033[{}A\r\033[J", rows) : std::string("\r\033[J"));
}

void LineEditor::writeTerminal(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

LineEditor::Buffer::int_type LineEditor::Buffer::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending += traits_type::to_char_type(c);
    return c;
}

std::streamsize LineEditor::Buffer::xsputn(const char* text, std::streamsize count)
{
    pending.append(text, static_cast<std::size_t>(count));
    return count;
}

int LineEditor::Buffer::sync()
{
    if (!pending.empty()) editor.write(std::exchange(pending, {}));
    return 0;
}

}  // namespace tarnwick::host::app
