// Message box styles as the platform reads them.
#pragma once

#include "platform/ui/backend.h"

// Fills the buttons, icon, default button and Escape answer of `box` from
// `style`; false for an unknown button set or default button.
bool MessageBoxDecodeStyle(UINT style, UiMessageBox* box);

// The button's label as the platform writes it ("OK", "Yes" ...).
const char16_t* MessageBoxButtonText(int answer);
