// Tab completion: which names fit the word before the cursor.

#include <gtest/gtest.h>

#include "Completion.h"
#include "TestSupport.h"

namespace tarnwick::host::tests {
namespace {

using Strings = std::vector<std::string>;

TEST(Completion, CompletesTheWordBeforeTheCursorByContext)
{
    const Strings names{"help", "mp_echo", "mp_value", "page", "plugin", "tw_reload", "tw_restore"};
    struct Case {
        std::string line;
        std::size_t wordStart;
        Strings matches;
    };
    const Case cases[] = {
        {"", 0, names},
        {"mp_", 0, {"mp_echo", "mp_value"}},
        {"  tw_re", 2, {"tw_reload", "tw_restore"}},
        {"mp_echo a; tw_rel", 11, {"tw_reload"}},
        {"help mp_v", 5, {"mp_value"}},
        {"help\vmp_v", 5, {"mp_value"}},       // any blank the console splits at
        {"\"page\" p", 7, {"pick", "press"}},  // words as the console reads them
        {"page p", 5, {"pick", "press"}},
        {"plugin ", 7, {"load", "unload"}},
        {"mp_echo mp_", 8, {}},                 // an argument of a plugin command
        {"load_workshop \"/maps/mp_", 24, {}},  // inside a quote
        {"zz", 0, {}},
    };
    for (const auto& c : cases) {
        const auto completion = app::complete(c.line, names);
        EXPECT_EQ(completion.wordStart, c.wordStart) << c.line;
        EXPECT_EQ(completion.matches, c.matches) << c.line;
    }
    EXPECT_EQ(app::commonPrefix({"tw_reload", "tw_restore"}), "tw_re");
    EXPECT_EQ(app::commonPrefix({"a", "b"}), "");
}

}  // namespace
}  // namespace tarnwick::host::tests
