#include "PluginLibrary.h"

#include <windows.h>

#include <system_error>

#include <fmt/format.h>

#include "tarnwick/host/Host.h"
#include "Text.h"

namespace tarnwick::host {

namespace {

// The system's own wording for an error code, without its line break.
std::string systemMessage(DWORD code)
{
    std::string text = std::system_category().message(static_cast<int>(code));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
    return text;
}

}  // namespace

PluginLibrary PluginLibrary::open(const std::filesystem::path& file)
{
    // A bare name would be looked up along the DLL search path; a plugin
    // named on the command line always means a file. The altered search path
    // lets the plugin find pluginsdk.dll beside itself.
    const std::filesystem::path target = std::filesystem::absolute(file);
    HMODULE handle = ::LoadLibraryExW(target.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (handle == nullptr) {
        const DWORD code = ::GetLastError();
        throw PluginLoadError(fmt::format("cannot load plugin library {}: {} (error {})", text::narrowFromPath(file),
                                          systemMessage(code), code));
    }
    return PluginLibrary(handle);
}

void* PluginLibrary::symbol(const char* name) const
{
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle.get()), name));
}

void PluginLibrary::Closer::operator()(void* handle) const noexcept
{
    ::FreeLibrary(static_cast<HMODULE>(handle));
}

}  // namespace tarnwick::host
