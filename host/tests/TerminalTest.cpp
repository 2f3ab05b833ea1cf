// tarnwick-host on a pseudo-terminal, typed at as a person would: the
// prompt, Tab completion, history across runs, Ctrl-C and colour.

#include <gtest/gtest.h>

#include <signal.h>

#include "TestSupport.h"

namespace tarnwick::host::tests {
namespace {

// The prompt as drawn in colour, and without.
const std::string prompt = ">\033[0m ";
const std::string plainPrompt = "> ";

// The host on a pseudo-terminal of its own, with only the given settings.
class Terminal : public testsupport::ChildProcess {
public:
    Terminal(const TemporaryFolder& folder, std::vector<std::string> environment)
        : ChildProcess({HOST_PROGRAM, "--plugin", MINIMAL_PLUGIN, "--host-dir", (folder.path() / "host").string()},
                       options(folder, std::move(environment)))
    {
    }

    void type(std::string_view keys) { send(keys); }
    std::string screen() { return out(); }

private:
    static testsupport::ChildOptions options(const TemporaryFolder& folder, std::vector<std::string> environment)
    {
        testsupport::ChildOptions options;
        options.terminal = true;
        options.inheritEnvironment = false;
        options.environment = std::move(environment);
        options.environment.push_back("TERM=xterm");
        options.environment.push_back("HOME=" + folder.path().string());
        return options;
    }
};

class OnTerminal : public ::testing::Test {
protected:
    void SetUp() override
    {
#if !TARNWICK_HAVE_LIBEDIT
        GTEST_SKIP() << "built without libedit";
#endif
        std::filesystem::create_directories(folder.path() / "host");
    }
    TemporaryFolder folder;
};

TEST_F(OnTerminal, PromptCompletionAndHistoryThatOutlivesTheRun)
{
    {
        Terminal terminal(folder, {});
        ASSERT_TRUE(terminal.waitFor(prompt)) << terminal.screen();
        terminal.type("mp_ec\t");
        ASSERT_TRUE(terminal.waitFor("ho ")) << "Tab completes the only match: " << terminal.screen();
        terminal.type("from history\r");
        ASSERT_TRUE(terminal.waitFor("[MinimalPlugin] from history")) << terminal.screen();
        terminal.type("mp_\t");
        ASSERT_TRUE(terminal.waitFor("mp_session")) << "several matches are listed: " << terminal.screen();
        terminal.type("\x03");  // Ctrl-C drops the half-typed line
        ASSERT_TRUE(terminal.waitFor("^C"));
        terminal.type("quit\r");
        EXPECT_EQ(terminal.finish(), 0) << terminal.screen();
        EXPECT_EQ(terminal.screen().find("unknown command"), std::string::npos) << terminal.screen();
    }
    EXPECT_NE(readFile(folder.path() / "host" / "console_history").find("from\\040history"), std::string::npos);

    Terminal again(folder, {});
    ASSERT_TRUE(again.waitFor(prompt));
    again.type("\x1b[A\x1b[A");  // up twice: past "quit" to the line before
    ASSERT_TRUE(again.waitFor("mp_echo from history")) << again.screen();
    again.type("\r");
    ASSERT_TRUE(again.waitFor("[MinimalPlugin] from history")) << again.screen();
    // Typed ahead of the prompt, Ctrl-D would meet the terminal between two
    // lines, in cooked mode, where the kernel takes it as end of file and the
    // switch back to raw mode turns it into a NUL: wait as a person would.
    ASSERT_TRUE(again.waitFor(prompt)) << again.screen();
    again.type("\x04");  // Ctrl-D on an empty line ends the input
    EXPECT_EQ(again.finish(), 0) << again.screen();
}

TEST_F(OnTerminal, CtrlDTypedAheadOfThePromptStillEndsTheInput)
{
    // Between two lines the terminal is in cooked mode, where a Ctrl-D comes
    // back as a NUL once the next line starts: still the end of the input.
    for (int attempt = 0; attempt < 5; ++attempt) {
        Terminal terminal(folder, {});
        ASSERT_TRUE(terminal.waitFor(prompt));
        terminal.type("mp_echo typed ahead\r\x04");
        EXPECT_EQ(terminal.finish(), 0) << terminal.screen();
    }
}

TEST_F(OnTerminal, OutputArrivingWhileTypingLeavesTheLineIntact)
{
    Terminal terminal(folder, {});
    ASSERT_TRUE(terminal.waitFor(prompt));
    terminal.type("mp_later 0.2 tick\r");
    terminal.type("mp_echo hal");
    ASSERT_TRUE(terminal.waitFor("[MinimalPlugin] later tick")) << terminal.screen();
    ASSERT_TRUE(terminal.waitFor("mp_echo hal")) << "the half-typed line is drawn again: " << terminal.screen();
    terminal.type("f\r");
    ASSERT_TRUE(terminal.waitFor("[MinimalPlugin] half")) << terminal.screen();
    terminal.type("mp_value kept\r");
    ASSERT_TRUE(terminal.waitFor("mp_value start -> kept"));
    terminal.type("quit\r");
    EXPECT_EQ(terminal.finish(), 0) << terminal.screen();
}

TEST_F(OnTerminal, SignalsEndTheSessionAndCtrlCInterruptsAWaitOrAnExec)
{
    writeFile(folder.path() / "waits.cfg", "mp_echo waiting; wait 600\nmp_value late\n");
    const std::string exec = "exec \"" + (folder.path() / "waits.cfg").string() + "\"\r";
    struct Case {
        const char* name;
        std::string typed;
        int signal;  // 0: Ctrl-C typed
        std::string shown;  // after the signal or the key
        int exitCode;       // -1: the session goes on
    };
    const Case cases[] = {
        {"SIGTERM at the prompt", "mp_echo waiting\r", SIGTERM, "unloaded Minimal Test Plugin", 143},
        {"SIGTERM during a wait", "mp_echo waiting; wait 600\r", SIGTERM, "unloaded Minimal Test Plugin", 143},
        {"SIGHUP during an exec", exec, SIGHUP, "unloaded Minimal Test Plugin", 129},
        {"Ctrl-C during a wait", "mp_echo waiting; wait 600\r", 0, "interrupted: the wait ended", -1},
        {"SIGINT during an exec", exec, SIGINT, "interrupted: the wait ended, 1 line not run", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(folder.path() / "host" / "cfg" / "config.cfg");
        Terminal terminal(folder, {});
        ASSERT_TRUE(terminal.waitFor(prompt)) << terminal.screen();
        terminal.type("mp_value kept\r");
        ASSERT_TRUE(terminal.waitFor("mp_value start -> kept")) << terminal.screen();
        terminal.type(c.typed);
        // Shown in the turn that starts the wait.
        ASSERT_TRUE(terminal.waitFor("[MinimalPlugin] waiting")) << terminal.screen();
        if (c.signal != 0) {
            ASSERT_EQ(::kill(terminal.pid(), c.signal), 0);
        } else {
            terminal.type("\x03");
        }
        ASSERT_TRUE(terminal.waitFor(c.shown)) << "long before the wait would have ended: " << terminal.screen();
        if (c.exitCode < 0) {
            terminal.type("mp_echo after\r");
            ASSERT_TRUE(terminal.waitFor("[MinimalPlugin] after")) << "the console goes on: " << terminal.screen();
            terminal.type("quit\r");
        }
        EXPECT_EQ(terminal.finish(), std::max(c.exitCode, 0)) << terminal.screen();
        EXPECT_NE(readFile(folder.path() / "host" / "cfg" / "config.cfg").find("mp_value \"kept\""),
                  std::string::npos)
            << "the config is saved";
        EXPECT_EQ(terminal.screen().find("mp_value kept -> late"), std::string::npos) << terminal.screen();
    }
}

TEST_F(OnTerminal, ColourUnlessNoColourIsSet)
{
    const std::string promptColour = "\033[1;36m";
    Terminal coloured(folder, {});
    ASSERT_TRUE(coloured.waitFor(prompt));
    coloured.type("mp_throw\r");
    ASSERT_TRUE(coloured.waitFor("\033[1;31merror:\033[0m command mp_throw failed")) << coloured.screen();
    coloured.type("quit\r");
    EXPECT_EQ(coloured.finish(), 0);
    EXPECT_NE(coloured.screen().find(promptColour), std::string::npos);

    Terminal plain(folder, {"NO_COLOR=1"});
    ASSERT_TRUE(plain.waitFor(plainPrompt));
    plain.type("mp_throw\r");
    ASSERT_TRUE(plain.waitFor("error: command mp_throw failed")) << plain.screen();
    plain.type("quit\r");
    EXPECT_EQ(plain.finish(), 0);
    EXPECT_EQ(plain.screen().find(promptColour), std::string::npos);
    EXPECT_EQ(plain.screen().find("\033[1;31m"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick::host::tests
