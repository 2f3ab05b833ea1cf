#include <gtest/gtest.h>

#include "ConsoleParser.h"

namespace tarnwick::host::tests {
namespace {

struct ParseCase {
    const char* name;
    std::string_view line;
    std::vector<ConsoleWords> expected;
};

void PrintTo(const ParseCase& parseCase, std::ostream* out) { *out << parseCase.name; }

class ConsoleLine : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ConsoleLine, SplitsIntoCommandsAndWords)
{
    EXPECT_EQ(parseConsoleLine(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConsoleLine,
    ::testing::Values(
        ParseCase{"empty", "", {}},
        ParseCase{"only_blanks", " \t ", {}},
        ParseCase{"blanks_and_tabs_separate", "  tw_filepath\t a.upk  ", {{"tw_filepath", "a.upk"}}},
        ParseCase{"quotes_group_a_word", R"(load_workshop "C:/My Maps/a b.upk")",
                  {{"load_workshop", "C:/My Maps/a b.upk"}}},
        ParseCase{"quotes_inside_a_word_join_it", R"(say a"b c"d)", {{"say", "ab cd"}}},
        ParseCase{"empty_quotes_are_a_word", R"(tw_filepath "")", {{"tw_filepath", ""}}},
        ParseCase{"semicolon_separates_commands", "a 1; b 2;c", {{"a", "1"}, {"b", "2"}, {"c"}}},
        ParseCase{"semicolon_inside_quotes_is_text", R"(echo "a;b" ;x)", {{"echo", "a;b"}, {"x"}}},
        ParseCase{"empty_commands_are_dropped", " ; ;a;; ", {{"a"}}},
        ParseCase{"carriage_return_of_a_windows_script", "wait 1\r", {{"wait", "1"}}},
        ParseCase{"bytes_pass_unchanged", "x \xFF\xC3\xA9", {{"x", "\xFF\xC3\xA9"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConsoleLineErrors, UnterminatedQuoteIsAClearError)
{
    for (const std::string_view line : {R"(load_workshop "C:/maps)", R"(a; b "c;d)", "\""}) {
        try {
            parseConsoleLine(line);
            ADD_FAILURE() << "accepted: " << line;
        } catch (const ConsoleSyntaxError& error) {
            EXPECT_NE(std::string(error.what()).find("unterminated double quote"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace tarnwick::host::tests
