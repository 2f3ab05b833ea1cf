#pragma once

#include <functional>
#include <memory>
#include <string>

#include "bakkesmod/sdk_export.h"

// A handle to one console variable. A null handle stands for a variable that
// does not exist; every read of a null handle gives an empty or false value.
class PLUGINSDK_API CVarWrapper {
public:
    using ValueChangedCallback = std::function<void(std::string oldValue, CVarWrapper cvar)>;

    explicit CVarWrapper(std::shared_ptr<tarnwick::host::ConsoleVariable> variable = nullptr);

    bool IsNull() const;
    std::string getStringValue() const;
    // "1", any other non-zero number and "true" read true.
    bool getBoolValue() const;
    float getFloatValue() const;
    int getIntValue() const;
    std::string getDescription() const;

    // Sets the value and runs the change callables, as typing "name value" does.
    void setValue(std::string value);

    // Runs on every change, after the new value is readable.
    void addOnValueChanged(ValueChangedCallback callback);

private:
    std::shared_ptr<tarnwick::host::ConsoleVariable> variable;
};
