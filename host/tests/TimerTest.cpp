#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <atomic>
#include <sstream>
#include <thread>

#include "bakkesmod/game.h"
#include "TestSupport.h"

namespace tarnwick::host::tests {
namespace {

using Strings = std::vector<std::string>;

constexpr Host::Seconds deadline{30};

// The game wrapper the host handed to the loaded test plugin.
std::shared_ptr<GameWrapper> pluginGame()
{
#if defined(_WIN32)
    HMODULE library = ::GetModuleHandleW(std::filesystem::path(MINIMAL_PLUGIN).make_preferred().c_str());
    if (library == nullptr) throw std::runtime_error("the test plugin is not loaded");
    // GetProcAddress names no real type; through void* the cast is a plain one.
    auto* entry = reinterpret_cast<void*>(::GetProcAddress(library, "minimalPluginGame"));
#else
    void* library = ::dlopen(MINIMAL_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) throw std::runtime_error("the test plugin is not loaded");
    void* entry = ::dlsym(library, "minimalPluginGame");
    ::dlclose(library);
#endif
    std::shared_ptr<GameWrapper> game;
    reinterpret_cast<void (*)(std::shared_ptr<GameWrapper>*)>(entry)(&game);
    return game;
}

class Timers : public ::testing::Test {
protected:
    explicit Timers(ClockMode clock = ClockMode::manual) : host(hostOptions(folder, &console, clock))
    {
        host.loadPlugin(MINIMAL_PLUGIN);
    }
    TemporaryFolder folder;
    std::ostringstream console;
    Host host;
};

class RealTimeTimers : public Timers {
protected:
    RealTimeTimers() : Timers(ClockMode::real) {}
};

TEST_F(Timers, DueTogetherRunInTheOrderSet)
{
    host.execute("mp_later 1 a; mp_later 1 b; mp_later 0.5 c; mp_later 1 d");
    host.runFor(Host::Seconds(0.4));
    EXPECT_TRUE(logTexts(host).empty());
    host.runFor(Host::Seconds(0.1));
    EXPECT_EQ(logTexts(host), (Strings{"later c"}));
    host.runFor(Host::Seconds(0.5));
    EXPECT_EQ(logTexts(host), (Strings{"later c", "later a", "later b", "later d"}));
    host.runFor(Host::Seconds(10));
    EXPECT_EQ(host.events("timer_fired").size(), 4u) << "a timer runs once";
}

TEST_F(Timers, OneLongStepFiresEachTimerAtItsOwnTime)
{
    host.execute("mp_later 2 late; mp_later 1 early");
    host.runFor(Host::Seconds(5));
    EXPECT_EQ(logTexts(host), (Strings{"later early", "later late"}));
    const auto fired = host.events("timer_fired");
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_DOUBLE_EQ(fired[0].at("t").get<double>(), 1.0);
    EXPECT_DOUBLE_EQ(fired[1].at("t").get<double>(), 2.0);
    EXPECT_DOUBLE_EQ(host.now(), 5.0);
}

TEST_F(Timers, PendingTimersOfAnUnloadedPluginNeverRun)
{
    host.execute("mp_later 1 orphan");
    host.unloadPlugin();
    host.runFor(Host::Seconds(3));
    EXPECT_TRUE(host.events("timer_fired").empty());
    EXPECT_EQ(logTexts(host), (Strings{"unloading"}));
}

TEST_F(Timers, SetTimeoutThroughTheWrapperOfAnUnloadedPluginDoesNothing)
{
    const auto game = pluginGame();
    host.unloadPlugin();
    bool ran = false;
    std::thread([&] { game->SetTimeout([&](GameWrapper*) { ran = true; }, 0.0f); }).join();
    game->SetTimeout([&](GameWrapper*) { ran = true; }, 0.0f);
    host.runFor(Host::Seconds(1));
    EXPECT_FALSE(ran);
    EXPECT_TRUE(host.events("timer_set").empty());
}

TEST_F(Timers, WaitHoldsTheRestOfTheLineAndTheFollowingLines)
{
    host.execute("wait 1; mp_echo after");
    host.postLine("mp_echo next");
    host.runPending();
    host.runFor(Host::Seconds(0.5));
    EXPECT_TRUE(logTexts(host).empty());
    host.runFor(Host::Seconds(0.5));
    EXPECT_EQ(logTexts(host), (Strings{"after", "next"}));
}

TEST_F(Timers, TimersKeepFiringDuringAWait)
{
    host.execute("mp_later 0.5 tick; wait 1; mp_echo after");
    host.runFor(Host::Seconds(2));
    EXPECT_EQ(logTexts(host), (Strings{"later tick", "after"}));
}

TEST_F(Timers, BadWaitIsRefusedAndTheNextLineRunsAtOnce)
{
    for (const char* line : {"wait abc", "wait -1", "wait", "wait 1 2", "wait nan"}) host.postLine(line);
    host.postLine("mp_echo next");
    host.runPending();
    EXPECT_EQ(logTexts(host), (Strings{"next"}));
    EXPECT_NE(console.str().find("usage: wait SECONDS"), std::string::npos);
}

TEST_F(RealTimeTimers, SetTimeoutFromAnotherThreadWakesTheGameLoop)
{
    const auto game = pluginGame();
    const auto gameThread = std::this_thread::get_id();
    std::optional<std::thread::id> ranOn;
    std::thread setter([&] { game->SetTimeout([&](GameWrapper*) { ranOn = std::this_thread::get_id(); }, 0.05f); });
    EXPECT_TRUE(host.runUntil([&] { return ranOn.has_value(); }, deadline));
    setter.join();
    EXPECT_EQ(ranOn, gameThread);
}

TEST_F(RealTimeTimers, TimersFromManyThreadsAllRunOnce)
{
    const auto game = pluginGame();
    constexpr int threads = 4;
    constexpr int perThread = 25;
    int ran = 0;
    std::vector<std::thread> setters;
    for (int i = 0; i < threads; ++i) {
        setters.emplace_back([&] {
            for (int j = 0; j < perThread; ++j) game->SetTimeout([&](GameWrapper*) { ++ran; }, 0.001f * j);
        });
    }
    EXPECT_TRUE(host.runUntil([&] { return ran == threads * perThread; }, deadline));
    for (auto& setter : setters) setter.join();
    host.runPending();
    EXPECT_EQ(ran, threads * perThread);
}

TEST_F(RealTimeTimers, ARealDelayIsWaitedOut)
{
    const double before = host.now();
    host.execute("mp_later 0.2 tick");
    EXPECT_TRUE(host.runUntil([&] { return !logTexts(host).empty(); }, deadline));
    const auto fired = host.events("timer_fired");
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_GE(fired[0].at("t").get<double>() - before, 0.2);
}

}  // namespace
}  // namespace tarnwick::host::tests
