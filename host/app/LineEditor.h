#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

// The interactive console on a terminal, built on libedit: line editing,
// history kept in a file, tab completion, and host output shown above the
// line being typed instead of through it. POSIX only.
namespace tarnwick::host::app {

class LineEditor {
public:
    using LineCallback = std::function<void(std::string line)>;
    using EndCallback = std::function<void()>;
    using NamesSource = std::function<std::vector<std::string>()>;
    // Ctrl-C: interrupts what the host is running; returns whether anything was.
    using InterruptCallback = std::function<bool()>;

    // Takes over SIGINT (Ctrl-C: clears the line being typed and interrupts
    // what runs) and SIGWINCH until destroyed. Throws std::system_error when
    // libedit or a pipe cannot be set up.
    LineEditor(std::string prompt, bool colour, std::filesystem::path historyFile);
    ~LineEditor();  // stops reading first
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    // Where the host writes; safe from any thread.
    std::ostream& output() { return hostOutput; }

    // Reads lines on a thread of its own until the input ends (Ctrl-D) or
    // stop() is called.
    void start(NamesSource names, LineCallback onLine, EndCallback onEnd, InterruptCallback onInterrupt);
    // Stops reading and gives the terminal back as it was; output keeps
    // working, written straight through.
    void stop();

    // Runs on the reading thread, from libedit callbacks.
    int readCharacter(wchar_t* character);
    unsigned char completeWord();
    unsigned char interrupt();

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(LineEditor& editor) : editor(editor) {}

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* text, std::streamsize count) override;
        int sync() override;

    private:
        LineEditor& editor;
        std::string pending;
    };

    void read();
    void write(std::string text);
    void showQueuedOutput();
    void eraseLine();
    void writeTerminal(std::string_view text);

    struct Handles;
    std::unique_ptr<Handles> handles;
    std::string prompt;
    std::filesystem::path historyFile;
    bool historyErrorShown = false;
    Buffer buffer{*this};
    std::ostream hostOutput{&buffer};

    NamesSource names;
    LineCallback onLine;
    EndCallback onEnd;
    InterruptCallback onInterrupt;
    std::thread thread;

    std::mutex mutex;
    bool editing = false;   // the reading thread owns the terminal
    std::string queued;     // output waiting for the reading thread to show it
};

}  // namespace tarnwick::host::app
