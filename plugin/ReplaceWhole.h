#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

#if !defined(_WIN32)
#include "posix/UniqueFd.h"
#endif

namespace tarnwick::plugin {

// The new version of a file, in a file of its own beside it until it takes
// the file's place.
class FileBeside {
public:
    FileBeside(const FileBeside&) = delete;
    FileBeside& operator=(const FileBeside&) = delete;
    ~FileBeside();

    // Appends `bytes`. A refused write raises std::filesystem::filesystem_error
    // naming the file being replaced, with the system's own reason ("No space
    // left on device", not a generic input/output error).
    void write(std::string_view bytes);

private:
    friend void replaceWhole(const std::filesystem::path&, std::string_view,
                             const std::function<void(FileBeside&)>&);
    FileBeside(const std::filesystem::path& target, std::filesystem::path path);
    void close();

    const std::filesystem::path& target;
    std::filesystem::path path;
#if defined(_WIN32)
    void* handle;
#else
    UniqueFd descriptor;
#endif
};

// Replaces `target` whole or not at all: `fill` writes the new version into a
// file beside it, which then takes its place. Rewritten in place, a file cut
// short by a full disk would be lost.
//
// The file beside is made exclusively under a fresh name (`target`'s name, a
// dot, random letters, `suffix`), so never through a link someone left there.
// Where `target` is a symbolic link, the file it leads to is replaced and the
// link stays. The replaced file keeps its mode and owner where the process
// may set them (POSIX), or its attributes and security (Windows).
//
// Whatever `fill` raises is passed on; any other failure raises
// std::filesystem::filesystem_error("cannot replace", target) with the
// system's code. Either way nothing is left beside `target`, which is as it was.
void replaceWhole(const std::filesystem::path& target, std::string_view suffix,
                  const std::function<void(FileBeside&)>& fill);

// Replaces `target` with `bytes` as replaceWhole does, the file beside it
// named with the suffix ".new". Returns false, having written nothing, when
// `target`'s folder does not exist.
bool replaceFileContent(const std::filesystem::path& target, std::string_view bytes);

// A fresh name beside `file` for replaceWhole: likely free, never assumed so.
std::filesystem::path freshNameBeside(const std::filesystem::path& file, std::string_view suffix);

}  // namespace tarnwick::plugin
