#include <gtest/gtest.h>

#include <cstdint>
#include <system_error>

#include "bakkesmod/unreal_string.h"
#include "text.h"

namespace tarnwick::host::text {
namespace {

template <typename Call>
std::error_code errorOf(Call&& call)
{
    try {
        call();
    } catch (const std::system_error& error) {
        return error.code();
    }
    return {};
}

const auto illegal = std::make_error_code(std::errc::illegal_byte_sequence);

TEST(Utf16, DecodesBasicAndSupplementaryCharacters)
{
    EXPECT_EQ(decodeUtf16(u"Park_P"), U"Park_P");
    EXPECT_EQ(decodeUtf16(u"caf\u00E9 \u20AC"), U"caf\u00E9 \u20AC");
    const char16_t pair[] = {0xD83D, 0xDE00};
    EXPECT_EQ(decodeUtf16({pair, 2}), U"\U0001F600");
    EXPECT_EQ(encodeUtf16(U"\U0001F600x"), (std::u16string{0xD83D, 0xDE00, u'x'}));
}

TEST(Utf16, UnpairedSurrogatesAreErrors)
{
    const std::u16string cases[] = {
        {0xD83D},               // high at the end
        {0xD83D, u'a'},         // high before a non-surrogate
        {0xD83D, 0xD83D, 0xDE00},  // two highs
        {u'a', 0xDE00},         // lone low
    };
    for (const auto& units : cases) EXPECT_EQ(errorOf([&] { decodeUtf16(units); }), illegal);
}

TEST(Utf8, StrictDecodingRejectsWhatLenientDecodersLetThrough)
{
    EXPECT_EQ(decodeUtf8("a\xC3\xA9\xF0\x9F\x98\x80"), U"a\u00E9\U0001F600");
    for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80", "\xFF"}) {
        EXPECT_EQ(errorOf([&] { decodeUtf8(bad); }), illegal) << bad;
    }
    EXPECT_EQ(encodeUtf8(decodeUtf8("/maps/\xC3\xA9 x.upk")), "/maps/\xC3\xA9 x.upk");
}

TEST(Utf8, EscapingKeepsValidTextAndSpellsOutBadBytes)
{
    EXPECT_EQ(escapeInvalidUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(escapeInvalidUtf8("a\xFF" "b"), "a\\xFFb");
    EXPECT_EQ(escapeInvalidUtf8("\xE2\x82"), "\\xE2\\x82");
    EXPECT_EQ(escapeInvalidUtf8("\xC0\x80"), "\\xC0\\x80");
    // The console's form escapes control characters as well.
    const std::pair<std::string_view, std::string_view> console[] = {
        {"caf\xC3\xA9 \\ \xE2\x80\xAE", "caf\xC3\xA9 \\ \xE2\x80\xAE"},  // a backslash, a format character
        {"\x1B]0;title\x07\x1B[2J", "\\x1B]0;title\\x07\\x1B[2J"},
        {"tab\tline\r\n\x7F", "tab\\x09line\\x0D\\x0A\\x7F"},
        {"\xC2\x9B" "31m\xC2\xA0", "\\u009B31m\xC2\xA0"},  // C1 CSI escaped, no-break space kept
        {"a\xFF\x9B", "a\\xFF\\x9B"},
    };
    for (const auto& [text, shown] : console) EXPECT_EQ(escapeControls(text), shown);
}

TEST(Wide, SupplementaryCharactersSurviveOnEveryWcharWidth)
{
    const std::wstring wide = toWide(U"a\U0001F600");
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(wide, std::wstring(L"a\U0001F600"));
    } else {
        EXPECT_EQ(wide.size(), 3u);
    }
}

}  // namespace
}  // namespace tarnwick::host::text

namespace {

std::uintptr_t addressOf(const EngineString& string) { return reinterpret_cast<std::uintptr_t>(&string); }

TEST(UnrealString, CountIncludesTheTerminatingZeroWhenPresent)
{
    const char16_t terminated[] = u"Park_P";
    EXPECT_EQ(UnrealStringWrapper(addressOf({terminated, 7, 7})).ToWideString(), L"Park_P");
    EXPECT_EQ(UnrealStringWrapper(addressOf({terminated, 4, 7})).ToWideString(), L"Park");
    EXPECT_EQ(UnrealStringWrapper(addressOf({terminated, 1, 1})).ToString(), "P");
    EXPECT_EQ(UnrealStringWrapper(addressOf({u"", 1, 1})).ToWideString(), L"");
    EXPECT_EQ(UnrealStringWrapper(addressOf({nullptr, 0, 0})).ToWideString(), L"");
    EXPECT_TRUE(UnrealStringWrapper(0).IsNull());
}

TEST(UnrealString, ConvertsStrictlyToWideAndUtf8)
{
    const char16_t map[] = {u'/', 0x00E9, 0xD83D, 0xDE00, 0};
    EXPECT_EQ(UnrealStringWrapper(addressOf({map, 5, 5})).ToWideString(), std::wstring(L"/\u00E9\U0001F600"));
    EXPECT_EQ(UnrealStringWrapper(addressOf({map, 5, 5})).ToString(), "/\xC3\xA9\xF0\x9F\x98\x80");

    const char16_t unpaired[] = {u'a', 0xD83D, 0};
    const auto illegal = std::make_error_code(std::errc::illegal_byte_sequence);
    EXPECT_EQ(tarnwick::host::text::errorOf([&] { UnrealStringWrapper(addressOf({unpaired, 3, 3})).ToWideString(); }),
              illegal);
    EXPECT_EQ(tarnwick::host::text::errorOf([&] { UnrealStringWrapper(addressOf({unpaired, 3, 3})).ToString(); }),
              illegal);
    EXPECT_EQ(tarnwick::host::text::errorOf([&] { UnrealStringWrapper(addressOf({map, -1, 5})).ToWideString(); }),
              std::make_error_code(std::errc::invalid_argument));
}

}  // namespace
