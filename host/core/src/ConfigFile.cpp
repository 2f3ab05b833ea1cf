#include "ConfigFile.h"

#include <cerrno>
#include <fstream>
#include <system_error>

#include <fmt/format.h>

#include "ConsoleParser.h"
#include "Text.h"

namespace tarnwick::host {

ConfigContent parseConfig(std::string_view text)
{
    ConfigContent content;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::string_view line = text::takeLine(text);
        ++lineNumber;
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line.substr(first).starts_with("//") || line[first] == '#') continue;

        std::vector<ConsoleWords> commands;
        try {
            commands = parseConsoleLine(line);
        } catch (const ConsoleSyntaxError& error) {
            content.problems.push_back({lineNumber, error.what()});
            continue;
        }
        if (commands.size() != 1 || commands.front().size() != 2) {
            content.problems.push_back({lineNumber, "expected one NAME \"VALUE\" pair"});
            continue;
        }
        content.values.insert_or_assign(std::move(commands.front()[0]), std::move(commands.front()[1]));
    }
    return content;
}

bool configCanHold(std::string_view value)
{
    return value.find_first_of("\"\r\n") == std::string_view::npos;
}

std::string formatConfig(const ConfigValues& values)
{
    std::string text = "// Console variables saved by tarnwick-host when it exits; NAME \"VALUE\" per line.\n";
    for (const auto& [name, value] : values) {
        if (configCanHold(value)) text += fmt::format("{} \"{}\"\n", name, value);
    }
    return text;
}

void replaceFile(const std::filesystem::path& file, std::string_view content)
{
    const auto fail = [&](int code, std::string_view what) {
        throw std::system_error(code != 0 ? code : EIO, std::generic_category(),
                                fmt::format("cannot {} {}", what, text::narrowFromPath(file)));
    };
    std::filesystem::path temporary = file;
    temporary += ".new";
    errno = 0;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) fail(errno, "create");
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out) {
            const int code = errno;
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            fail(code, "write");
        }
    }
    std::error_code renameError;
    std::filesystem::rename(temporary, file, renameError);
    if (renameError) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw std::system_error(renameError, fmt::format("cannot replace {}", text::narrowFromPath(file)));
    }
}

}  // namespace tarnwick::host
