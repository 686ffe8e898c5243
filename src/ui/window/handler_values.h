// Values in the contracts of both the window layer and the gadget layer
// above it: message handlers' answers and positions.
#pragma once

#include <cstdint>

// A handler's answer for "not handled here: let the default procedure run".
constexpr intptr_t NOT_HANDLED = static_cast<int32_t>(0xD0D0D0D1);
// As a position or size: keep the current value.
constexpr int32_t IgnoreValue = -65535;
