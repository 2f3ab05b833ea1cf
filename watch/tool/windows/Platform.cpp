#include "Platform.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>

namespace tarnwick_watch {

const char* const namesHelp =
    "In a name a control character is written as \\xHH or \\uHHHH, and the\n"
    "line breaks U+2028 and U+2029 as \\u2028 and \\u2029, so that each line\n"
    "stands for one name; --json gives every name exactly.\n";

const char* const stopHelp =
    "Prints \"watching PATH\" to standard error once watching runs, and stops\n"
    "on Ctrl+C, Ctrl+Break or when its console closes. Paths are printed as\n"
    "UTF-8.\n";

const char* const jsonHelp =
    "      --json           print JSON Lines: {\"kind\":\"added\",\"path\":\"a\\\\b\",\n"
    "                       \"time\":\"...\"}. A lone surrogate in a name is\n"
    "                       written as its \\uXXXX escape.\n";

const char* const pathSeparator = "\\";

void useBinaryOutput()
{
    _setmode(_fileno(stdout), _O_BINARY);
}

int writeOutput(const std::string& text)
{
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0) return 0;
    return errno != 0 ? errno : EIO;
}

}  // namespace tarnwick_watch
