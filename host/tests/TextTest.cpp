#include <gtest/gtest.h>

#include <cstdint>
#include <system_error>

#include "bakkesmod/unreal_string.h"
#include "Text.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tarnwick::host::tests {
namespace {

using namespace text;

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
    const bool utf8 = narrowEncodingName() == "UTF-8";
    const struct {
        std::string_view text, shown;
        bool utf8Only;  // in a code page of single bytes these are characters
    } console[] = {
        {"caf\xC3\xA9 \\ \xE2\x80\xAE", "caf\xC3\xA9 \\ \xE2\x80\xAE", true},  // a backslash, a format character
        {"\x1B]0;title\x07\x1B[2J", "\\x1B]0;title\\x07\\x1B[2J", false},
        {"tab\tline\r\n\x7F", "tab\\x09line\\x0D\\x0A\\x7F", false},
        {"\xC2\x9B" "31m\xC2\xA0", "\\u009B31m\xC2\xA0", true},  // C1 CSI escaped, no-break space kept
        {"a\xFF\x9B", "a\\xFF\\x9B", true},
    };
    for (const auto& row : console) {
        if (utf8 || !row.utf8Only) {
            EXPECT_EQ(escapeControls(row.text), row.shown);
        }
    }
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

#if defined(_WIN32)
// Narrow text in a code page, both ways, and as the trace records it. In 932
// "\x83\x5C" is one character, whose second byte is that of a backslash.
TEST(CodePage, ConvertsNarrowTextExactlyBothWays)
{
    const struct {
        unsigned codePage;
        std::string narrow;
        std::u16string wide;
        std::string utf8;
    } rows[] = {
        {1252, "\xD6l\xE7\xFC\\\x8Cuvre \x80.upk", u"\u00D6l\u00E7\u00FC\\\u0152uvre \u20AC.upk",
         "\xC3\x96l\xC3\xA7\xC3\xBC\\\xC5\x92uvre \xE2\x82\xAC.upk"},
        {932, "\x83\x5C\x95\x5C\\\x83\x5C.upk", u"\u30BD\u8868\\\u30BD.upk",
         "\xE3\x82\xBD\xE8\xA1\xA8\\\xE3\x82\xBD.upk"},
        {936, "\xA5\xBD\xB1\xED\x81\x5C.upk", u"\u30BD\u8868\u4E57.upk",
         "\xE3\x82\xBD\xE8\xA1\xA8\xE4\xB9\x97.upk"},
        {CP_UTF8, "caf\xC3\xA9", u"caf\u00E9", "caf\xC3\xA9"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.codePage);
        EXPECT_EQ(utf16FromNarrow(row.narrow, row.codePage), row.wide);
        EXPECT_EQ(narrowFromUtf16(row.wide, row.codePage), row.narrow);
        EXPECT_EQ(utf8FromNarrow(row.narrow, row.codePage), row.utf8);
        EXPECT_EQ(narrowFromPath(std::wstring(row.wide.begin(), row.wide.end()), row.codePage), row.narrow);
    }
}

TEST(CodePage, RefusesWhatIsNoTextAndSpellsItOutForTheTrace)
{
    const auto noTranslation = std::error_code(ERROR_NO_UNICODE_TRANSLATION, std::system_category());
    // A byte no character starts with, and a lead byte without its second.
    EXPECT_EQ(errorOf([] { utf16FromNarrow("a\xFF", 932); }), noTranslation);
    EXPECT_EQ(errorOf([] { utf16FromNarrow("a\x83", 932); }), noTranslation);
    EXPECT_EQ(utf8FromNarrow("a\xFF\x83\x5C\x83", 932), "a\\xFF\xE3\x82\xBD\\x83");
    EXPECT_EQ(escapeInvalidNarrow("a\xFF\x83\x5C\x83", 932), "a\\xFF\x83\x5C\\x83");
    EXPECT_EQ(utf8FromNarrow("a\xFF", CP_UTF8), "a\\xFF");
    // Characters without an exact mapping: refused, or spelt out in a message.
    EXPECT_EQ(errorOf([] { narrowFromUtf16(u"\u0100rena", 1252); }), noTranslation);
    EXPECT_EQ(errorOf([] { narrowFromUtf16(u"\u00E9", 932); }), noTranslation);
    EXPECT_EQ(narrowFromPath(L"\u30BD \u20AC", 1252), "\\u{30BD} \x80");
    EXPECT_EQ(narrowFromPath(std::wstring{L'a', wchar_t(0xD800)}, 1252), "a\\u{D800}");
}
#endif

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
#if defined(_WIN32)
    // Narrow text is in the process code page, which has no emoji.
    const char16_t accented[] = {u'/', 0x00E9, 0};
    EXPECT_EQ(tarnwick::host::text::utf16FromNarrow(UnrealStringWrapper(addressOf({accented, 3, 3})).ToString()),
              u"/\u00E9");
    EXPECT_EQ(errorOf([&] { UnrealStringWrapper(addressOf({map, 5, 5})).ToString(); }),
              std::error_code(ERROR_NO_UNICODE_TRANSLATION, std::system_category()));
#else
    EXPECT_EQ(UnrealStringWrapper(addressOf({map, 5, 5})).ToString(), "/\xC3\xA9\xF0\x9F\x98\x80");
#endif

    const char16_t unpaired[] = {u'a', 0xD83D, 0};
    const auto illegal = std::make_error_code(std::errc::illegal_byte_sequence);
    EXPECT_EQ(errorOf([&] { UnrealStringWrapper(addressOf({unpaired, 3, 3})).ToWideString(); }), illegal);
    EXPECT_EQ(errorOf([&] { UnrealStringWrapper(addressOf({unpaired, 3, 3})).ToString(); }), illegal);
    EXPECT_EQ(errorOf([&] { UnrealStringWrapper(addressOf({map, -1, 5})).ToWideString(); }),
              std::make_error_code(std::errc::invalid_argument));
}

}  // namespace
}  // namespace tarnwick::host::tests
