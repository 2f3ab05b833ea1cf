#include <gtest/gtest.h>

#include <map>

#include "SettingsPage.h"

namespace tarnwick::host::tests {
namespace {

const std::string pluginPage = "Tarnwick Plugin\n"
                               "6|Workshop Maps|tw_filepath|1234/Arena.udk@1234/Arena.udk&b.upk@b.upk\n"
                               "12|Maps folder Path (default folder is the workshop map folder)|tw_workshop\n"
                               "1|Auto-reload on file change|tw_watching\n"
                               "0|Load Map|tw_reload\n";

TEST(SettingsPage, ReadsEveryControlOfAPluginPage)
{
    const auto page = parseSettingsPage(pluginPage);
    EXPECT_EQ(page.title, "Tarnwick Plugin");
    EXPECT_TRUE(page.problems.empty());
    ASSERT_EQ(page.controls.size(), 4u);
    EXPECT_EQ(page.controls[0].kind, ControlKind::dropDown);
    EXPECT_EQ(page.controls[0].name, "tw_filepath");
    EXPECT_EQ(page.controls[0].options,
              (std::vector<SettingsOption>{{"1234/Arena.udk", "1234/Arena.udk"}, {"b.upk", "b.upk"}}));
    EXPECT_EQ(page.controls[1].kind, ControlKind::textBox);
    EXPECT_EQ(page.controls[1].label, "Maps folder Path (default folder is the workshop map folder)");
    EXPECT_EQ(page.controls[2].kind, ControlKind::checkBox);
    EXPECT_EQ(page.controls[3].kind, ControlKind::button);
    EXPECT_EQ(page.controls[3].name, "tw_reload");
}

TEST(SettingsPage, CrLfLinesReadLikeLfLines)
{
    std::string crlf;
    for (const char c : pluginPage) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    const auto lf = parseSettingsPage(pluginPage);
    const auto windows = parseSettingsPage(crlf);
    EXPECT_EQ(windows.title, lf.title);
    ASSERT_EQ(windows.controls.size(), lf.controls.size());
    EXPECT_EQ(windows.controls[0].options, lf.controls[0].options);
    EXPECT_EQ(windows.controls[3].name, "tw_reload");
}

TEST(SettingsPage, UnescapedSeparatorsInsideMapPathsSurvive)
{
    const auto page = parseSettingsPage("T\n6|Maps|tw_filepath|a@b.upk@a@b.upk&x|y.upk@x|y.upk& @ \n");
    ASSERT_EQ(page.controls.size(), 1u);
    EXPECT_EQ(page.controls[0].options, (std::vector<SettingsOption>{
                                            {"a@b.upk", "a@b.upk"}, {"x|y.upk", "x|y.upk"}, {" ", " "}}));
}

TEST(SettingsPage, MalformedLinesAreReportedAndSkipped)
{
    const auto page = parseSettingsPage("Title\nhello\n7|Odd|x\n1|No name|\nabc|Label|x\n\n0|Go|go_now\n");
    ASSERT_EQ(page.controls.size(), 1u);
    EXPECT_EQ(page.controls[0].name, "go_now");
    ASSERT_EQ(page.problems.size(), 4u);
    EXPECT_EQ(page.problems[0].line, 2u);
    EXPECT_EQ(page.problems[1].line, 3u);
    EXPECT_NE(page.problems[1].message.find("unknown control kind"), std::string::npos);
    EXPECT_EQ(page.problems[2].line, 4u);
    EXPECT_EQ(page.problems[3].line, 5u);
}

TEST(SettingsPage, EmptyFileHasNoTitle)
{
    const auto page = parseSettingsPage("");
    EXPECT_TRUE(page.controls.empty());
    ASSERT_EQ(page.problems.size(), 1u);
}

TEST(SettingsPage, RenderingNumbersControlsAndShowsCurrentValues)
{
    const std::map<std::string, std::string, std::less<>> values{
        {"tw_filepath", "b.upk"}, {"tw_watching", "1"}, {"tw_workshop", "/maps/"}};
    const auto lookup = [&](std::string_view name) {
        const auto value = values.find(name);
        return value != values.end() ? std::optional(value->second) : std::nullopt;
    };
    const auto shown = renderSettingsPage(parseSettingsPage(pluginPage), lookup, {5, false});
    EXPECT_EQ(shown, "== Tarnwick Plugin ==\n"
                     "  5. Workshop Maps  (drop-down tw_filepath)\n"
                     "       1) 1234/Arena.udk\n"
                     "     * 2) b.upk\n"
                     "  6. Maps folder Path (default folder is the workshop map folder)  (text box tw_workshop)\n"
                     "       \"/maps/\"\n"
                     "  7. [x] Auto-reload on file change  (check box tw_watching)\n"
                     "  8. [ Load Map ]  (button, runs tw_reload)\n"
                     "  use: page pick 5 OPTION | page type 6 TEXT | page tick 7 | page press 8\n");
    EXPECT_EQ(shown.find('\033'), std::string::npos) << "no colour unless asked";
    EXPECT_NE(renderSettingsPage(parseSettingsPage(pluginPage), lookup, {1, true}).find("     \033[32m* 2) b.upk\033[0m\n"),
              std::string::npos);

    const auto missing = renderSettingsPage(parseSettingsPage(pluginPage), [](std::string_view) {
        return std::optional<std::string>();
    });
    EXPECT_NE(missing.find("[ ] Auto-reload on file change  (check box tw_watching) (no such variable)"),
              std::string::npos)
        << missing;
    EXPECT_NE(missing.find("chosen: (no such variable)"), std::string::npos);
    const auto unlisted = renderSettingsPage(parseSettingsPage("T\n6|Maps|m| @ \n"), [](std::string_view) {
        return std::optional<std::string>("gone.upk");
    });
    EXPECT_NE(unlisted.find("1) (blank)\n       chosen: \"gone.upk\" (not in the list)"), std::string::npos)
        << unlisted;
}

TEST(SettingsPage, BooleanReading)
{
    for (const char* yes : {"1", "true", "TRUE", "2", "-1", "0.5"}) EXPECT_TRUE(readsTrue(yes)) << yes;
    for (const char* no : {"0", "0.0", "", "false", "yes", "1x", " 1"}) EXPECT_FALSE(readsTrue(no)) << no;
}

}  // namespace
}  // namespace tarnwick::host::tests
