#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "bakkesmod/cvar_manager.h"
#include "bakkesmod/game.h"
#include "bakkesmod/sdk_export.h"

namespace BakkesMod::Plugin {

// The host fills both handles after getPlugin and before onLoad. The
// destructor is deliberately not virtual: the host owns plugins through
// shared handles whose deleter knows the real type.
class PLUGIN_API BakkesModPlugin {
public:
    BakkesModPlugin();
    BakkesModPlugin(const BakkesModPlugin&);
    BakkesModPlugin(BakkesModPlugin&&);
    BakkesModPlugin& operator=(const BakkesModPlugin&);
    BakkesModPlugin& operator=(BakkesModPlugin&&);
    // gameWrapper is declared after cvarManager, so it is released first.
    ~BakkesModPlugin();

    virtual void onLoad();
    virtual void onUnload();

    std::shared_ptr<CVarManagerWrapper> cvarManager;
    std::shared_ptr<GameWrapper> gameWrapper;
};

// Defined outside the class so that every plugin library exports them: a
// compiler may leave members defaulted or defined inside an exported class
// out of the library's export table (MinGW's GCC does).
inline BakkesModPlugin::BakkesModPlugin() = default;
inline BakkesModPlugin::BakkesModPlugin(const BakkesModPlugin&) = default;
inline BakkesModPlugin::BakkesModPlugin(BakkesModPlugin&&) = default;
inline BakkesModPlugin& BakkesModPlugin::operator=(const BakkesModPlugin&) = default;
inline BakkesModPlugin& BakkesModPlugin::operator=(BakkesModPlugin&&) = default;
inline BakkesModPlugin::~BakkesModPlugin() = default;
inline void BakkesModPlugin::onLoad() {}
inline void BakkesModPlugin::onUnload() {}

using GetPluginFunction = std::shared_ptr<BakkesModPlugin>* (*)();
using DeleteMeFunction = void (*)();

// The record a plugin exports as data under the name "exports": eight
// 8-byte slots, integers in the low half of theirs.
struct PluginInfo {
    std::int32_t hostApiVersion;
    std::uint32_t hostApiVersionHigh;
    const char* sourceFile;
    const char* className;
    const char* displayName;
    const char* versionText;
    std::int32_t pluginType;
    std::uint32_t pluginTypeHigh;
    GetPluginFunction getPluginEntry;
    DeleteMeFunction deleteMeEntry;
};

inline constexpr std::int32_t hostApiVersion = 95;

static_assert(sizeof(void*) == 8, "the host and its plugins are 64-bit");
static_assert(sizeof(PluginInfo) == 64);
static_assert(offsetof(PluginInfo, hostApiVersion) == 0);
static_assert(offsetof(PluginInfo, sourceFile) == 8);
static_assert(offsetof(PluginInfo, className) == 16);
static_assert(offsetof(PluginInfo, displayName) == 24);
static_assert(offsetof(PluginInfo, versionText) == 32);
static_assert(offsetof(PluginInfo, pluginType) == 40);
static_assert(offsetof(PluginInfo, getPluginEntry) == 48);
static_assert(offsetof(PluginInfo, deleteMeEntry) == 56);

}  // namespace BakkesMod::Plugin
