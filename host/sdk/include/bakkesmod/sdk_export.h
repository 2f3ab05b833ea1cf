#pragma once

// PLUGINSDK_API marks what the SDK library exports and a plugin imports.
#if defined(_WIN32)
#  if defined(PLUGINSDK_BUILDING)
#    define PLUGINSDK_API __declspec(dllexport)
#  else
#    define PLUGINSDK_API __declspec(dllimport)
#  endif
#else
#  define PLUGINSDK_API __attribute__((visibility("default")))
#endif

// PLUGIN_API marks what a plugin library exports to the host; a plugin's
// build defines BAKKESMOD_PLUGIN_BUILDING.
#if defined(_WIN32)
#  if defined(BAKKESMOD_PLUGIN_BUILDING)
#    define PLUGIN_API __declspec(dllexport)
#  else
#    define PLUGIN_API
#  endif
#else
#  define PLUGIN_API __attribute__((visibility("default")))
#endif

// The host's own machinery; a plugin only ever holds pointers to it.
namespace tarnwick::host {
class PluginSession;
class ConsoleVariable;
}  // namespace tarnwick::host
