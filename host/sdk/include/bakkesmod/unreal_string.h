#pragma once

#include <cstdint>
#include <string>

#include "bakkesmod/sdk_export.h"

// The engine's string as the game holds it in memory: a counted array of
// UTF-16 code units. The count includes the terminating zero when there is
// one, so an empty string has count 0 or 1.
struct EngineString {
    const char16_t* data;
    std::int32_t count;
    std::int32_t capacity;
};

// Reads the engine string at an address, such as the start of a hooked
// function's parameter block.
class PLUGINSDK_API UnrealStringWrapper {
public:
    explicit UnrealStringWrapper(std::uintptr_t address);

    bool IsNull() const;

    // Strict conversion: an unpaired surrogate or a negative count raises
    // std::system_error (std::errc::illegal_byte_sequence / invalid_argument);
    // nothing is ever replaced.
    std::wstring ToWideString() const;

    // The same text as a narrow string, converted just as strictly: in the
    // process code page, as every narrow string the host exchanges (UTF-8 on
    // Linux; on Windows a character the code page lacks raises the system's
    // error).
    std::string ToString() const;

private:
    std::uintptr_t address;
};
