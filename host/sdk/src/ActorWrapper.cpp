#include "bakkesmod/actor.h"

ActorWrapper::ActorWrapper(std::uintptr_t address) : address_(address) {}
ActorWrapper::ActorWrapper(const ActorWrapper& other) = default;
ActorWrapper& ActorWrapper::operator=(const ActorWrapper& other) = default;
ActorWrapper::~ActorWrapper() = default;

bool ActorWrapper::IsNull() const { return address_ == 0; }

std::uintptr_t ActorWrapper::memory_address() const { return address_; }
