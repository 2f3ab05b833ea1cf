#include "bakkesmod/actor.h"

ActorWrapper::ActorWrapper(std::uintptr_t address) : address(address) {}
ActorWrapper::ActorWrapper(const ActorWrapper& other) = default;
ActorWrapper& ActorWrapper::operator=(const ActorWrapper& other) = default;
ActorWrapper::~ActorWrapper() = default;

bool ActorWrapper::IsNull() const { return address == 0; }

std::uintptr_t ActorWrapper::memory_address() const { return address; }
