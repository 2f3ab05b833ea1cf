#include <gtest/gtest.h>

#include <map>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "SettingsPage.h"
#include "TestSupport.h"

namespace tarnwick::host::tests {
namespace {

using Strings = std::vector<std::string>;

// A control as "kind label name {text=value, ...}".
std::string summary(const SettingsControl& control)
{
    Strings options;
    for (const auto& option : control.options) options.push_back(option.text + "=" + option.value);
    return fmt::format("{} {} {}{}", static_cast<int>(control.kind), control.label, control.name,
                       options.empty() ? "" : fmt::format(" {{{}}}", fmt::join(options, ", ")));
}

TEST(SettingsPage, ReadsATitleThenAControlALineAndReportsTheLinesItSkips)
{
    struct Case {
        const char* name;
        std::string text;
        std::string title;
        Strings controls;
        std::vector<std::size_t> problemLines;
        std::string problem;  // part of every problem's message
    };
    const Case cases[] = {
        {"each kind", "T\n0|Go|go\n1|On|on\n6|Pick|p|a@1&b@2\n12|Type|t\n", "T",
         {"0 Go go", "1 On on", "6 Pick p {a=1, b=2}", "12 Type t"}, {}, ""},
        {"CR LF line ends", "T\r\n1|On|on\r\n6|Pick|p|a@1&b@2\r\n", "T", {"1 On on", "6 Pick p {a=1, b=2}"}, {}, ""},
        {"blanks and brackets in a title and a label", "My Page\n12|Folder (default: the game's)|f\n", "My Page",
         {"12 Folder (default: the game's) f"}, {}, ""},
        {"separators inside option texts", "T\n6|Maps|m|a@b.upk@a@b.upk&x|y.upk@x|y.upk& @ \n", "T",
         {"6 Maps m {a@b.upk=a@b.upk, x|y.upk=x|y.upk,  = }"}, {}, ""},
        {"malformed lines", "Title\nhello\n7|Odd|x\n1|No name|\nabc|Label|x\n\n0|Go|go_now\n", "Title",
         {"0 Go go_now"}, {2, 3, 4, 5}, ""},
        {"an unknown kind", "T\n7|Odd|x\n", "T", {}, {2}, "unknown control kind"},
        {"an empty file", "", "", {}, {1}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto page = parseSettingsPage(c.text);
        EXPECT_EQ(page.title, c.title);
        Strings controls;
        for (const auto& control : page.controls) controls.push_back(summary(control));
        EXPECT_EQ(controls, c.controls);
        std::vector<std::size_t> problemLines;
        for (const auto& problem : page.problems) {
            problemLines.push_back(problem.line);
            EXPECT_NE(problem.message.find(c.problem), std::string::npos) << problem.message;
        }
        EXPECT_EQ(problemLines, c.problemLines);
    }
}

TEST(SettingsPage, RenderingNumbersControlsAndShowsCurrentValues)
{
    const auto page = parseSettingsPage("T\n6|Maps|m|a.upk@a.upk&b.upk@b.upk\n12|Folder|f\n1|Watch|w\n0|Go|g\n");
    const std::map<std::string, std::string, std::less<>> values{{"m", "b.upk"}, {"w", "1"}, {"f", "/maps/"}};
    const auto lookup = [&](std::string_view name) {
        const auto value = values.find(name);
        return value != values.end() ? std::optional(value->second) : std::nullopt;
    };
    const auto shown = renderSettingsPage(page, lookup, {5, false});
    EXPECT_TRUE(containsInOrder(shown, {"== T ==\n", "5. Maps", "(drop-down m)\n", "1) a.upk\n", "* 2) b.upk\n",
                                        "6. Folder", "(text box f)\n", "\"/maps/\"\n", "7. [x] Watch",
                                        "(check box w)\n", "8. [ Go ]", "(button, runs g)\n",
                                        "page pick 5 OPTION | page type 6 TEXT | page tick 7 | page press 8\n"}))
        << shown;
    EXPECT_EQ(shown.find('\033'), std::string::npos) << "no colour unless asked";
    EXPECT_NE(renderSettingsPage(page, lookup, {1, true}).find("\033[32m* 2) b.upk\033[0m\n"), std::string::npos);

    const auto missing = renderSettingsPage(page, [](std::string_view) { return std::optional<std::string>(); });
    EXPECT_TRUE(
        containsInOrder(missing, {"chosen: (no such variable)", "[ ] Watch", "(check box w) (no such variable)"}))
        << missing;
    const auto unlisted = renderSettingsPage(parseSettingsPage("T\n6|Maps|m| @ \n"), [](std::string_view) {
        return std::optional<std::string>("gone.upk");
    });
    EXPECT_TRUE(containsInOrder(unlisted, {"1) (blank)\n", "chosen: \"gone.upk\" (not in the list)"})) << unlisted;
}

TEST(SettingsPage, BooleanReading)
{
    for (const char* yes : {"1", "true", "TRUE", "2", "-1", "0.5"}) EXPECT_TRUE(readsTrue(yes)) << yes;
    for (const char* no : {"0", "0.0", "", "false", "yes", "1x", " 1"}) EXPECT_FALSE(readsTrue(no)) << no;
}

}  // namespace
}  // namespace tarnwick::host::tests
