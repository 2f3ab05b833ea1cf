#include "platform.h"

#include <windows.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <system_error>
#include <utility>

#include <fmt/format.h>

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

struct LineReader::Shared {
    ~Shared()
    {
        if (ownsInput) ::CloseHandle(input);
        if (thread != nullptr) ::CloseHandle(thread);
    }

    std::mutex mutex;
    bool stopped = false;     // set by the destructor: nothing is delivered after it
    std::atomic<bool> failed{false};
    HANDLE thread = nullptr;  // the reading thread, for cancelling its read
    HANDLE input = INVALID_HANDLE_VALUE;
    bool ownsInput = false;
    std::optional<std::string> prompt;
    LineCallback onLine;
    EndCallback onEnd;
};

LineReader::LineReader(const std::optional<std::filesystem::path>& script, std::optional<std::string> prompt)
    : shared_(std::make_shared<Shared>())
{
    shared_->prompt = std::move(prompt);
    if (script) {
        shared_->input = ::CreateFileW(script->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (shared_->input == INVALID_HANDLE_VALUE) {
            raiseLastError(fmt::format("cannot open script {}", script->string()));
        }
        shared_->ownsInput = true;
    } else {
        shared_->input = ::GetStdHandle(STD_INPUT_HANDLE);
    }
}

bool LineReader::failed() const
{
    return shared_->failed;
}

void LineReader::start(LineCallback onLine, EndCallback onEnd)
{
    shared_->onLine = std::move(onLine);
    shared_->onEnd = std::move(onEnd);
    thread_ = std::thread([shared = shared_] {
        {
            // A real handle to this thread, so the destructor can cancel its read.
            HANDLE self = nullptr;
            ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self, 0, FALSE,
                              DUPLICATE_SAME_ACCESS);
            std::lock_guard lock(shared->mutex);
            shared->thread = self;
            if (shared->stopped) return;
        }
        std::string pending;
        // Runs `deliver` unless the reader is gone; false once it is.
        const auto whileRunning = [&](auto&& deliver) {
            std::lock_guard lock(shared->mutex);
            if (shared->stopped) return false;
            deliver();
            return true;
        };
        const auto end = [&] {
            whileRunning([&] {
                // A last line without a line break still counts.
                if (!pending.empty()) shared->onLine(std::exchange(pending, {}));
                shared->onEnd();
            });
        };
        bool prompted = false;
        for (;;) {
            if (!prompted && shared->prompt &&
                !whileRunning([&] { std::cout << *shared->prompt << std::flush; })) {
                break;
            }
            prompted = true;
            char buffer[4096];
            DWORD count = 0;
            if (!::ReadFile(shared->input, buffer, sizeof buffer, &count, nullptr)) {
                const DWORD code = ::GetLastError();
                if (code == ERROR_OPERATION_ABORTED) break;
                if (code != ERROR_BROKEN_PIPE && code != ERROR_HANDLE_EOF) {
                    shared->failed = true;
                    whileRunning([&] {
                        std::cerr << "tarnwick-host: reading input failed: "
                                  << std::system_category().message(static_cast<int>(code)) << '\n';
                    });
                }
                end();
                break;
            }
            if (count == 0) {
                end();
                break;
            }
            pending.append(buffer, count);
            const bool running = whileRunning([&] {
                for (auto lineEnd = pending.find('\n'); lineEnd != std::string::npos; lineEnd = pending.find('\n')) {
                    std::string line = pending.substr(0, lineEnd);
                    pending.erase(0, lineEnd + 1);
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    shared->onLine(std::move(line));
                    prompted = false;
                }
            });
            if (!running) break;
        }
    });
}

LineReader::~LineReader()
{
    HANDLE thread = nullptr;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopped = true;
        thread = shared_->thread;
    }
    // Wakes a read of a pipe or the console where the system allows it; a
    // read that stays blocked only keeps its thread until the process ends.
    if (thread != nullptr) ::CancelSynchronousIo(thread);
    if (thread_.joinable()) thread_.detach();
}

}  // namespace tarnwick::host::app
