#pragma once

#include <filesystem>
#include <memory>

namespace tarnwick::host {

// An open dynamic library; closed exactly once, on destruction. One source
// file per platform implements it.
class PluginLibrary {
public:
    // Throws PluginLoadError saying why the library cannot be loaded.
    static PluginLibrary open(const std::filesystem::path& file);

    PluginLibrary(PluginLibrary&&) noexcept = default;
    PluginLibrary& operator=(PluginLibrary&&) noexcept = default;
    ~PluginLibrary() = default;

    // The address of an exported symbol, or null when there is none.
    void* symbol(const char* name) const;

private:
    struct Closer {
        void operator()(void* handle) const noexcept;
    };
    explicit PluginLibrary(void* handle) : handle(handle) {}

    std::unique_ptr<void, Closer> handle;
};

}  // namespace tarnwick::host
