// A program of someone else's, built against the installed filewatch: it
// watches a fresh folder, writes a file there and waits to hear of it.
#include <filewatch/DirectoryWatcher.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>

int main()
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / "filewatch-consumer";
    fs::remove_all(folder);
    fs::create_directories(folder);

    std::mutex mutex;
    std::condition_variable changed;
    bool seen = false;
    {
        const filewatch::DirectoryWatcher watcher(folder.native(), [&](const filewatch::PathString& path,
                                                                       filewatch::Event kind) {
            if (fs::path(path) != "hello.txt" || kind != filewatch::Event::added) return;
            const std::lock_guard lock(mutex);
            seen = true;
            changed.notify_all();
        });
        std::ofstream(folder / "hello.txt") << "hello\n";
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return seen; });
    }
    fs::remove_all(folder);
    std::cout << (seen ? "saw hello.txt added\n" : "no change reported within 30 s\n");
    return seen ? 0 : 1;
}
