// Files as the tests make and read them: each save one open, one write and
// one close, the calls an editor's save makes.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <gtest/gtest.h>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace tarnwick::testsupport {

// The bytes of `file`; none while it cannot be opened, not there yet or in
// the middle of a replace (on Windows), as a wait for it reads it again.
inline std::string readFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

enum class Write { replacing, appending };

// Opens `file` (created or emptied when replacing, as it is when appending),
// writes `bytes` in one call, and closes it.
inline void writeOnce(const std::filesystem::path& file, std::string_view bytes, Write how)
{
    const bool appending = how == Write::appending;
    std::size_t written = 0;
#if defined(_WIN32)
    const HANDLE handle = ::CreateFileW(file.c_str(), appending ? FILE_APPEND_DATA : GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        appending ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool opened = handle != INVALID_HANDLE_VALUE;
    DWORD count = 0;
    if (opened && !bytes.empty() &&
        ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr)) {
        written = count;
    }
    const std::error_code error(static_cast<int>(::GetLastError()), std::system_category());
    if (opened) ::CloseHandle(handle);
#else
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC | (appending ? O_APPEND : O_CREAT | O_TRUNC), 0644);
    const bool opened = fd >= 0;
    if (opened && !bytes.empty()) {
        written = static_cast<std::size_t>(std::max<ssize_t>(::write(fd, bytes.data(), bytes.size()), 0));
    }
    const std::error_code error(errno, std::generic_category());
    if (opened) ::close(fd);
#endif
    if (!opened || written != bytes.size()) throw std::system_error(error, "cannot write " + file.string());
}

// Creates or replaces `file`, making its folders first.
inline void writeFile(const std::filesystem::path& file, std::string_view bytes = "x")
{
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
    writeOnce(file, bytes, Write::replacing);
}

// One write at the end of `file`: a single save, as a watcher reports it.
inline void appendOnce(const std::filesystem::path& file, std::string_view bytes = "saved\n")
{
    writeOnce(file, bytes, Write::appending);
}

#if !defined(_WIN32)
// A small tmpfs over `folder` for the life of this object, mounted with
// `options` ("size=64k,nr_inodes=16"); none where the system refuses the
// mount (not root, no CAP_SYS_ADMIN), and `refused` says why.
class SmallFileSystem {
public:
    SmallFileSystem(std::filesystem::path folder, std::string_view options) : folder(std::move(folder))
    {
        std::filesystem::create_directories(this->folder);
        if (::mount("tarnwick-test", this->folder.c_str(), "tmpfs", 0, std::string(options).c_str()) != 0) {
            refused = std::strerror(errno);
        }
    }
    ~SmallFileSystem()
    {
        if (refused.empty()) ::umount2(folder.c_str(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    explicit operator bool() const { return refused.empty(); }

    // Fills it: files until no inode is left, or one file until no block is.
    void fillWithFiles() const
    {
        for (int i = 0;; ++i) {
            const auto name = folder / ("filler " + std::to_string(i));
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) {
                EXPECT_EQ(errno, ENOSPC);
                return;
            }
            ::close(fd);
        }
    }
    void fillWithBytes() const
    {
        const int fd = ::open((folder / "filler").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        const std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        EXPECT_EQ(errno, ENOSPC);
        ::close(fd);
    }

    std::string refused;

private:
    std::filesystem::path folder;
};
#endif

}  // namespace tarnwick::testsupport
