#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

// What the host program needs from the operating system; one source file
// per platform implements it.
namespace tarnwick::host::app {

std::filesystem::path executablePath();

bool standardInputIsTerminal();

// Reads console lines on a thread of its own and hands each one over as it
// arrives, then reports the end of the input. Destruction stops the thread,
// even while it waits for a line that never comes.
class LineReader {
public:
    using LineCallback = std::function<void(std::string line)>;
    using EndCallback = std::function<void()>;

    // Reads `script`, or standard input when there is none. Throws
    // std::system_error when the script cannot be opened.
    LineReader(const std::optional<std::filesystem::path>& script, std::optional<std::string> prompt,
               LineCallback onLine, EndCallback onEnd);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

private:
#if defined(_WIN32)
    // Shared with the reading thread, which may stay blocked in a read that
    // cannot be cancelled; it then ends with the process, delivering nothing.
    struct Shared;
    std::shared_ptr<Shared> shared_;
#endif
    void read();

    int input_ = -1;
    bool ownsInput_ = false;
    int stopRead_ = -1;  // the pipe whose write end tells the thread to stop
    int stopWrite_ = -1;
    std::optional<std::string> prompt_;
    LineCallback onLine_;
    EndCallback onEnd_;
    std::thread thread_;
};

}  // namespace tarnwick::host::app
