#include "PluginLibrary.h"

#include <dlfcn.h>

#include <fmt/format.h>

#include "tarnwick/host/Host.h"

namespace tarnwick::host {

PluginLibrary PluginLibrary::open(const std::filesystem::path& file)
{
    // dlopen searches the library path for a bare name; a plugin named on
    // the command line always means a file.
    const std::filesystem::path target = file.has_parent_path() ? file : std::filesystem::path(".") / file;
    void* handle = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = ::dlerror();
        throw PluginLoadError(fmt::format("cannot load plugin library {}: {}", file.string(),
                                          reason != nullptr ? reason : "unknown dynamic loader error"));
    }
    return PluginLibrary(handle);
}

void* PluginLibrary::symbol(const char* name) const
{
    return ::dlsym(handle.get(), name);
}

void PluginLibrary::Closer::operator()(void* handle) const noexcept
{
    ::dlclose(handle);
}

}  // namespace tarnwick::host
