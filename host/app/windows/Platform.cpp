// Everything tarnwick-host does differently on Windows, behind Platform.h;
// one file, as posix/Platform.cpp is, so the two read side by side.
#include "Platform.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <streambuf>
#include <system_error>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <tarnwick/text/CodePage.h>

#include "Text.h"

namespace tarnwick::host::app {

namespace {

[[noreturn]] void raiseLastError(const std::string& what)
{
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

}  // namespace

std::filesystem::path executablePath()
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) raiseLastError("cannot find the host program's own file");
        // A full buffer may hold a cut name: try again with room to spare.
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool standardInputIsTerminal()
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool isTerminal(std::FILE* stream)
{
    return ::_isatty(::_fileno(stream)) != 0;
}

std::optional<std::filesystem::path> systemDataFolder()
{
    if (const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA");
        local != nullptr && std::filesystem::path(local).is_absolute()) {
        return std::filesystem::path(local);
    }
    return std::nullopt;
}

namespace {

// The console's events, as the signals they stand for elsewhere.
constexpr int interruptSignal = 2;  // SIGINT
constexpr int hangUpSignal = 1;     // SIGHUP: the console is closing
constexpr int breakSignal = 21;     // SIGBREAK

std::mutex consoleControlMutex;
SessionSignals::StopCallback consoleControlTarget;
HANDLE sessionEnded = nullptr;  // set once the session is saved

BOOL WINAPI onConsoleControl(DWORD event)
{
    const int signal = event == CTRL_C_EVENT ? interruptSignal : event == CTRL_BREAK_EVENT ? breakSignal : hangUpSignal;
    {
        std::lock_guard lock(consoleControlMutex);
        if (!consoleControlTarget) return FALSE;
        consoleControlTarget(signal);
    }
    // Windows ends the process once this returns from a close, logoff or
    // shutdown: hold it until the plugin is unloaded and the config saved.
    if (signal == hangUpSignal) ::WaitForSingleObject(sessionEnded, INFINITE);
    return TRUE;
}

// Takes narrow text in the process code page and writes it to a console as
// UTF-16, a line (or a flush) at a time. The host writes whole lines, so no
// character is split between two writes.
class ConsoleBuffer final : public std::streambuf {
public:
    explicit ConsoleBuffer(HANDLE console) : console(console) {}

protected:
    int_type overflow(int_type c) override
    {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char text = traits_type::to_char_type(c);
            xsputn(&text, 1);
        }
        return traits_type::not_eof(c);
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override
    {
        // The game thread and the reading thread (its prompt) both write.
        std::lock_guard lock(mutex);
        pending.append(text, static_cast<std::size_t>(count));
        if (std::memchr(text, '\n', static_cast<std::size_t>(count)) != nullptr) writePending();
        return count;
    }

    int sync() override
    {
        std::lock_guard lock(mutex);
        writePending();
        return 0;
    }

private:
    void writePending()
    {
        if (pending.empty()) return;
        // Bytes that are no text in the code page show as \xNN.
        const std::u16string wide = text::encodeUtf16(text::decodeUtf8(text::utf8FromNarrow(pending)));
        pending.clear();
        const auto* next = reinterpret_cast<const wchar_t*>(wide.data());
        for (std::size_t left = wide.size(); left > 0;) {
            DWORD written = 0;
            const auto chunk = static_cast<DWORD>(std::min<std::size_t>(left, 16 * 1024));
            if (!::WriteConsoleW(console, next, chunk, &written, nullptr) || written == 0) return;
            next += written;
            left -= written;
        }
    }

    HANDLE console;
    std::mutex mutex;
    std::string pending;
};

bool isConsole(HANDLE handle)
{
    DWORD mode = 0;
    return ::GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

struct SessionSignals::State {};

SessionSignals::SessionSignals(bool /*editorTakesInterrupt*/, StopCallback onStop)
{
    std::lock_guard lock(consoleControlMutex);
    if (sessionEnded == nullptr) sessionEnded = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    consoleControlTarget = std::move(onStop);
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

SessionSignals::~SessionSignals()
{
    {
        std::lock_guard lock(consoleControlMutex);
        consoleControlTarget = nullptr;
    }
    ::SetEvent(sessionEnded);
    ::SetConsoleCtrlHandler(onConsoleControl, FALSE);
}

struct ConsoleTextOutput::Streams {
    std::optional<ConsoleBuffer> out;
    std::optional<ConsoleBuffer> err;
    std::streambuf* savedOut = nullptr;
    std::streambuf* savedErr = nullptr;
};

ConsoleTextOutput::ConsoleTextOutput() : streams(std::make_unique<Streams>())
{
    if (HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE); isConsole(out)) {
        std::cout.flush();
        streams->out.emplace(out);
        streams->savedOut = std::cout.rdbuf(&*streams->out);
    }
    if (HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE); isConsole(err)) {
        std::cerr.flush();
        streams->err.emplace(err);
        streams->savedErr = std::cerr.rdbuf(&*streams->err);
    }
}

ConsoleTextOutput::~ConsoleTextOutput()
{
    if (streams->savedOut != nullptr) {
        std::cout.flush();
        std::cout.rdbuf(streams->savedOut);
    }
    if (streams->savedErr != nullptr) {
        std::cerr.flush();
        std::cerr.rdbuf(streams->savedErr);
    }
}

struct LineReader::Shared {
    ~Shared()
    {
        if (ownsInput) ::CloseHandle(input);
        if (thread != nullptr) ::CloseHandle(thread);
    }

    std::mutex mutex;
    bool stopped = false;     // set by stop(): nothing is delivered after it
    std::atomic<bool> failed{false};
    HANDLE thread = nullptr;  // the reading thread, for cancelling its read
    HANDLE input = INVALID_HANDLE_VALUE;
    bool ownsInput = false;
    std::optional<std::string> prompt;
    LineCallback onLine;
    EndCallback onEnd;
};

LineReader::LineReader(const std::optional<std::filesystem::path>& script, std::optional<std::string> prompt)
    : shared(std::make_shared<Shared>())
{
    shared->prompt = std::move(prompt);
    if (script) {
        shared->input = ::CreateFileW(script->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (shared->input == INVALID_HANDLE_VALUE) {
            raiseLastError(fmt::format("cannot open script {}", script->string()));
        }
        shared->ownsInput = true;
    } else {
        shared->input = ::GetStdHandle(STD_INPUT_HANDLE);
    }
}

bool LineReader::failed() const
{
    return shared->failed;
}

// The reading thread: reads until the input ends or the reader stops, and
// hands over each line unless the reader has stopped meanwhile.
class LineReader::Reading {
public:
    explicit Reading(std::shared_ptr<Shared> shared)
        : shared(std::move(shared)), console(isConsole(this->shared->input))
    {
    }

    void run();

private:
    bool registerThread();
    template <class Deliver>
    bool whileRunning(Deliver&& deliver);
    bool readMore(DWORD& count);
    bool readConsole(DWORD& count);
    bool deliverLines();
    void end();

    const std::shared_ptr<Shared> shared;
    // A console hands over keys in its own input code page; read them as
    // UTF-16 and convert whole lines to the process code page instead.
    const bool console;
    std::u16string widePending;
    std::string pending;
    bool ended = false;  // Ctrl-Z on a console
    bool prompted = false;
};

void LineReader::Reading::run()
{
    if (!registerThread()) return;
    for (;;) {
        if (!prompted && shared->prompt && !whileRunning([&] { std::cout << *shared->prompt << std::flush; })) {
            return;
        }
        prompted = true;
        DWORD count = 0;
        if (!readMore(count)) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_OPERATION_ABORTED) return;
            // After stop() the read was cancelled, whatever code Wine or
            // the console gives for it: not a failure of the input.
            if (code != ERROR_BROKEN_PIPE && code != ERROR_HANDLE_EOF) {
                whileRunning([&] {
                    shared->failed = true;
                    std::cerr << "tarnwick-host: reading input failed: "
                              << std::system_category().message(static_cast<int>(code)) << '\n';
                });
            }
            break;
        }
        if (count == 0) break;
        if (!deliverLines()) return;
        if (ended) break;
    }
    end();
}

// A real handle to this thread, so that stop() can cancel its read; false
// when the reader has stopped already.
bool LineReader::Reading::registerThread()
{
    HANDLE self = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    std::lock_guard lock(shared->mutex);
    shared->thread = self;
    return !shared->stopped;
}

// Runs `deliver` unless the reader has stopped; false once it has.
template <class Deliver>
bool LineReader::Reading::whileRunning(Deliver&& deliver)
{
    std::lock_guard lock(shared->mutex);
    if (shared->stopped) return false;
    deliver();
    return true;
}

// Reads what arrives next into `pending`; false with the read's error.
bool LineReader::Reading::readMore(DWORD& count)
{
    if (console) return readConsole(count);
    char buffer[4096];
    if (!::ReadFile(shared->input, buffer, sizeof buffer, &count, nullptr)) return false;
    pending.append(buffer, count);
    return true;
}

bool LineReader::Reading::readConsole(DWORD& count)
{
    char16_t buffer[1024];
    if (!::ReadConsoleW(shared->input, buffer, 1024, &count, nullptr)) return false;
    widePending.append(buffer, count);
    for (auto lineEnd = widePending.find(u'\n'); lineEnd != std::u16string::npos; lineEnd = widePending.find(u'\n')) {
        const std::u16string line = widePending.substr(0, lineEnd + 1);
        widePending.erase(0, lineEnd + 1);
        // Ctrl-Z at the start of a line ends a console's input.
        if (line.front() == u'\x1A') {
            ended = true;
            break;
        }
        try {
            pending += text::narrowFromUtf16(line);
        } catch (const std::system_error&) {
            whileRunning([&] {
                std::cerr << "tarnwick-host: the line was not run: " << text::narrowEncodingName()
                          << " cannot represent all of its characters\n";
            });
        }
    }
    return true;
}

// Hands over every whole line read so far; false once the reader has stopped.
bool LineReader::Reading::deliverLines()
{
    return whileRunning([&] {
        for (auto lineEnd = pending.find('\n'); lineEnd != std::string::npos; lineEnd = pending.find('\n')) {
            std::string line = pending.substr(0, lineEnd);
            pending.erase(0, lineEnd + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            shared->onLine(std::move(line));
            prompted = false;
        }
    });
}

void LineReader::Reading::end()
{
    whileRunning([&] {
        // A last line without a line break still counts.
        if (!pending.empty()) shared->onLine(std::exchange(pending, {}));
        shared->onEnd();
    });
}

void LineReader::start(LineCallback onLine, EndCallback onEnd)
{
    shared->onLine = std::move(onLine);
    shared->onEnd = std::move(onEnd);
    thread = std::thread([shared = shared] { Reading(shared).run(); });
}

void LineReader::stop()
{
    HANDLE reading = nullptr;
    {
        std::lock_guard lock(shared->mutex);
        shared->stopped = true;
        reading = shared->thread;
    }
    // Wakes a read of a pipe or the console where the system allows it; a
    // read that stays blocked only keeps its thread until the process ends.
    if (reading != nullptr) ::CancelSynchronousIo(reading);
    if (thread.joinable()) thread.detach();
}

LineReader::~LineReader()
{
    stop();
}

}  // namespace tarnwick::host::app

// The wide command line, so that no argument is lost to the code page.
int wmain(int argc, wchar_t** wideArguments)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        std::string argument;
        if (tarnwick::text::narrowFromWide(wideArguments[i], CP_UTF8, argument) != ERROR_SUCCESS) {
            std::cerr << "tarnwick-host: argument " << i << " is not valid text (see --help)\n";
            return 2;  // a wrong command line
        }
        arguments.push_back(std::move(argument));
    }
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    return tarnwick::host::app::hostMain(argc, argv.data());
}
