#include <cstring>
#include <filesystem>
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <gtest/gtest.h>

#include <bakkesmod/plugin.h>

namespace tarnwick::plugin::tests {
namespace {

using BakkesMod::Plugin::BakkesModPlugin;
using BakkesMod::Plugin::PluginInfo;

// The plugin library opened directly, as the host's loader sees it.
class PluginLibrary : public ::testing::Test {
protected:
#if defined(_WIN32)
    void SetUp() override
    {
        const std::filesystem::path file = std::filesystem::path(TARNWICK_PLUGIN_PATH).make_preferred();
        handle = ::LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        ASSERT_NE(handle, nullptr) << "LoadLibrary failed with " << ::GetLastError();
    }
    void close() { ::FreeLibrary(handle); }
    // GetProcAddress names no real type; through void* the cast is a plain one.
    void* address(const char* name) { return reinterpret_cast<void*>(::GetProcAddress(handle, name)); }

    HMODULE handle = nullptr;
#else
    void SetUp() override
    {
        handle = dlopen(TARNWICK_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
    }
    void close() { dlclose(handle); }
    void* address(const char* name) { return dlsym(handle, name); }

    void* handle = nullptr;
#endif
    void TearDown() override
    {
        if (handle) {
            if (auto deleteMe = symbol<void (*)()>("deleteMe")) {
                deleteMe();
            }
            close();
        }
    }
    template <typename T>
    T symbol(const char* name)
    {
        return reinterpret_cast<T>(address(name));
    }
};

TEST_F(PluginLibrary, ExportsItsRecordAndEntryPointsUnderPlainNames)
{
    const auto* record = symbol<const unsigned char*>("exports");
    ASSERT_NE(record, nullptr);
    auto getPlugin = symbol<BakkesMod::Plugin::GetPluginFunction>("getPlugin");
    auto deleteMe = symbol<BakkesMod::Plugin::DeleteMeFunction>("deleteMe");
    ASSERT_NE(getPlugin, nullptr);
    ASSERT_NE(deleteMe, nullptr);

    std::uint64_t slots[8];
    std::memcpy(slots, record, sizeof slots);
    EXPECT_EQ(slots[0], 95u) << "API version in the low half, zero above";
    EXPECT_EQ(slots[5], 1u) << "plugin type in the low half, zero above";
    auto text = [&](int slot) { return std::string(reinterpret_cast<const char*>(slots[slot])); };
    EXPECT_NE(text(1).find("Tarnwick"), std::string::npos);
    EXPECT_EQ(text(2), "Tarnwick");
    EXPECT_EQ(text(3), "Tarnwick Plugin");
    EXPECT_EQ(text(4), TARNWICK_VERSION);
    EXPECT_EQ(slots[6], reinterpret_cast<std::uint64_t>(getPlugin));
    EXPECT_EQ(slots[7], reinterpret_cast<std::uint64_t>(deleteMe));
}

TEST_F(PluginLibrary, HandsOutOneObjectUntilDeleted)
{
    auto getPlugin = symbol<BakkesMod::Plugin::GetPluginFunction>("getPlugin");
    auto deleteMe = symbol<BakkesMod::Plugin::DeleteMeFunction>("deleteMe");

    deleteMe();  // nothing to delete yet: harmless

    auto* first = getPlugin();
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(*first);
    BakkesModPlugin* object = first->get();
    EXPECT_FALSE(object->cvarManager);
    EXPECT_FALSE(object->gameWrapper);

    auto* second = getPlugin();
    EXPECT_EQ(second, first);
    EXPECT_EQ(second->get(), object);

    std::weak_ptr<BakkesModPlugin> watcher = *first;
    deleteMe();
    EXPECT_FALSE(*first) << "the library's handle is emptied";
    EXPECT_TRUE(watcher.expired()) << "the last handle destroyed the object";
    deleteMe();

    auto* third = getPlugin();
    EXPECT_EQ(third, first) << "same handle address";
    EXPECT_TRUE(*third);
}

TEST_F(PluginLibrary, KeepsTheObjectWhileTheHostHoldsACopy)
{
    auto getPlugin = symbol<BakkesMod::Plugin::GetPluginFunction>("getPlugin");
    auto deleteMe = symbol<BakkesMod::Plugin::DeleteMeFunction>("deleteMe");
    std::shared_ptr<BakkesModPlugin> hostCopy = *getPlugin();
    std::weak_ptr<BakkesModPlugin> watcher = hostCopy;
    deleteMe();
    EXPECT_FALSE(watcher.expired());
    hostCopy.reset();
    EXPECT_TRUE(watcher.expired());
}

}  // namespace
}  // namespace tarnwick::plugin::tests
