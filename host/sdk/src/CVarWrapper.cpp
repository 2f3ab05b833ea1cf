#include "bakkesmod/cvar.h"

#include <charconv>
#include <cmath>

#include "PluginSession.h"
#include "SettingsPage.h"

using tarnwick::host::ConsoleVariable;

CVarWrapper::CVarWrapper(std::shared_ptr<ConsoleVariable> variable) : variable(std::move(variable)) {}

bool CVarWrapper::IsNull() const { return variable == nullptr; }

std::string CVarWrapper::getStringValue() const { return variable ? variable->value : std::string(); }

bool CVarWrapper::getBoolValue() const { return variable && tarnwick::host::readsTrue(variable->value); }

float CVarWrapper::getFloatValue() const
{
    if (!variable) return 0.0f;
    const std::string& text = variable->value;
    float value = 0.0f;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() ? value : 0.0f;
}

int CVarWrapper::getIntValue() const
{
    const float value = getFloatValue();
    // Out-of-range and NaN conversions to int are undefined behaviour.
    if (!(value > -2147483648.0f && value < 2147483648.0f)) return 0;
    return static_cast<int>(value);
}

std::string CVarWrapper::getDescription() const { return variable ? variable->description : std::string(); }

void CVarWrapper::setValue(std::string value)
{
    if (!variable) return;
    if (variable->services == nullptr) {
        variable->value = std::move(value);
        return;
    }
    variable->services->setVariable(*variable, std::move(value));
}

void CVarWrapper::addOnValueChanged(ValueChangedCallback callback)
{
    if (variable && variable->services != nullptr) variable->changeCallbacks.push_back(std::move(callback));
}
