// Hand-made inotify buffers, laid out as the kernel lays them out.
#pragma once

#include <sys/inotify.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace filewatch::tests {

inline void appendRecord(std::vector<std::byte>& buffer, int wd, std::uint32_t mask, std::uint32_t cookie,
                         const std::string& name)
{
    // The kernel NUL-pads names to a multiple of the header's size.
    const std::size_t padded = name.empty() ? 0 : (name.size() / 16 + 1) * 16;
    inotify_event header{};
    header.wd = wd;
    header.mask = mask;
    header.cookie = cookie;
    header.len = static_cast<std::uint32_t>(padded);
    const std::size_t start = buffer.size();
    buffer.resize(start + sizeof header + padded);
    std::memcpy(buffer.data() + start, &header, sizeof header);
    std::memcpy(buffer.data() + start + sizeof header, name.data(), name.size());
}

}  // namespace filewatch::tests
