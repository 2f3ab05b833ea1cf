#include "Platform.h"

#include <unistd.h>

#include <cerrno>

namespace tarnwick_watch {

const char* const namesHelp =
    "In a name a control character is written as \\n, \\r, \\t, \\xHH or\n"
    "\\uHHHH, a backslash as \\\\ and a byte that is not UTF-8 as \\xHH, so\n"
    "that each line stands for one name; --json gives every name exactly.\n";

const char* const stopHelp =
    "Prints \"watching PATH\" to standard error once watching runs, and stops\n"
    "on Ctrl+C (SIGINT) or SIGTERM.\n";

const char* const jsonHelp =
    "      --json           print JSON Lines: {\"kind\":\"added\",\"path\":\"a/b\",\n"
    "                       \"time\":\"...\"}. A byte that is not UTF-8 is\n"
    "                       written as \\udcXX (XX its hex value).\n";

const char* const pathSeparator = "/";

void useBinaryOutput() {}

int writeOutput(const std::string& text)
{
    // Straight to the descriptor: no stdio buffer to copy through and flush.
    for (std::size_t written = 0; written < text.size();) {
        const ssize_t count = ::write(STDOUT_FILENO, text.data() + written, text.size() - written);
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        written += static_cast<std::size_t>(count);
    }
    return 0;
}

}  // namespace tarnwick_watch
