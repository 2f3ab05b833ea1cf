// The floor for the watchers: one inotify instance, a watch per directory
// (new directories are watched but not listed), and one write() per line,
// "<kind>\t<relative path>". Nothing else, so nothing is cheaper.
//
// With --handover the lines are written by a second thread, handed over
// through one mutex and one condition variable: the least a watcher that
// reads on one thread and delivers on another can cost.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace {

constexpr std::uint32_t eventMask =
    IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO;

const char* kindOf(std::uint32_t mask)
{
    if (mask & IN_CREATE) return "create";
    if (mask & IN_DELETE) return "delete";
    if (mask & IN_MODIFY) return "modify";
    if (mask & IN_ATTRIB) return "attrib";
    if (mask & IN_CLOSE_WRITE) return "close_write";
    if (mask & IN_MOVED_FROM) return "moved_from";
    if (mask & IN_MOVED_TO) return "moved_to";
    if (mask & IN_Q_OVERFLOW) return "overflow";
    return "other";
}

void writeLine(const std::string& line)
{
    if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) std::_Exit(0);
}

class HandOver {
public:
    HandOver()
    {
        std::thread([this] {
            std::string taken;
            for (;;) {
                {
                    std::unique_lock lock(mutex);
                    condition.wait(lock, [this] { return !pending.empty(); });
                    taken.swap(pending);
                }
                writeLine(taken);
                taken.clear();
            }
        }).detach();
    }
    void send(const std::string& line)
    {
        {
            std::lock_guard lock(mutex);
            pending += line;
        }
        condition.notify_one();
    }

private:
    std::mutex mutex;
    std::condition_variable condition;
    std::string pending;
};

}  // namespace

int main(int argc, char** argv)
{
    const bool handOver = argc == 3 && std::string_view(argv[1]) == "--handover";
    if (argc != 2 && !handOver) {
        std::fputs("Usage: tarnwick-bench-floor [--handover] PATH\n", stderr);
        return 2;
    }
    const std::string root = argv[argc - 1];
    // Lives until the process ends, as its thread does.
    HandOver* writer = handOver ? new HandOver : nullptr;
    const int fd = ::inotify_init1(IN_CLOEXEC);
    if (fd < 0) {
        std::perror("inotify_init1");
        return 1;
    }
    std::unordered_map<int, std::string> directories;
    auto watch = [&](const std::string& relative) {
        const std::string absolute = relative.empty() ? root : root + '/' + relative;
        const int wd = ::inotify_add_watch(fd, absolute.c_str(), eventMask | IN_ONLYDIR | IN_DONT_FOLLOW);
        if (wd >= 0) {
            directories[wd] = relative;
        }
    };
    watch("");
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) {
            watch(std::filesystem::relative(it->path(), root).native());
        }
    }
    std::fprintf(stderr, "watching %s\n", root.c_str());

    alignas(inotify_event) char buffer[65536];
    std::string line;
    for (;;) {
        const ssize_t length = ::read(fd, buffer, sizeof buffer);
        if (length < 0) {
            if (errno == EINTR) continue;
            std::perror("read");
            return 1;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const auto found = directories.find(event->wd);
            if (found == directories.end()) continue;
            std::string path = found->second;
            if (event->len > 0) {
                path += (path.empty() ? "" : "/") + std::string(event->name);
            }
            if ((event->mask & (IN_CREATE | IN_ISDIR)) == (IN_CREATE | IN_ISDIR)) {
                watch(path);
            }
            line.assign(kindOf(event->mask)).append("\t").append(path).append("\n");
            if (writer != nullptr) {
                writer->send(line);
            } else {
                writeLine(line);
            }
        }
    }
}
