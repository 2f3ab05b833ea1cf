// The config file: the lines it reads, and what it writes reads back.

#include <gtest/gtest.h>

#include "ConfigFile.h"
#include "TestSupport.h"

namespace tarnwick::host::tests {
namespace {

TEST(ConfigFile, ReadsNameValueLinesAndReportsTheRest)
{
    const auto content = parseConfig("// saved\r\n"
                                     "tw_workshop \"C:\\\\maps\\\\a b\\\\\"\r\n"
                                     "\n"
                                     "# note\n"
                                     "tw_watching 0\n"
                                     "lonely\n"
                                     "a 1; b 2\n"
                                     "bad \"open\n"
                                     "tw_watching 1\n");
    EXPECT_EQ(content.values, (ConfigValues{{"tw_watching", "1"}, {"tw_workshop", "C:\\\\maps\\\\a b\\\\"}}));
    ASSERT_EQ(content.problems.size(), 3u);
    EXPECT_EQ(content.problems[0].line, 6u);
    EXPECT_EQ(content.problems[1].line, 7u);
    EXPECT_NE(content.problems[2].message.find("unterminated double quote"), std::string::npos);
}

TEST(ConfigFile, WrittenValuesReadBackTheSame)
{
    const ConfigValues values{{"a", ""}, {"b", "with blanks; and a semicolon"}, {"c", "/path/é/"}};
    EXPECT_EQ(parseConfig(formatConfig(values)).values, values);
    EXPECT_FALSE(configCanHold("say \"hi\""));
    EXPECT_FALSE(configCanHold("two\nlines"));
    EXPECT_EQ(parseConfig(formatConfig({{"q", "a\"b"}, {"ok", "1"}})).values, (ConfigValues{{"ok", "1"}}));
}

}  // namespace
}  // namespace tarnwick::host::tests
