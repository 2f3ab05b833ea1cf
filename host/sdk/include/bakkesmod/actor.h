#pragma once

#include <cstdint>

#include "bakkesmod/sdk_export.h"

// The game object that called a hooked function. The plugin only passes it along.
class PLUGINSDK_API ActorWrapper {
public:
    explicit ActorWrapper(std::uintptr_t address);
    ActorWrapper(const ActorWrapper& other);
    ActorWrapper& operator=(const ActorWrapper& other);
    ~ActorWrapper();

    bool IsNull() const;
    std::uintptr_t memory_address() const;

private:
    std::uintptr_t address;
};
