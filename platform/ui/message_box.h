// Message box styles as the platform reads them.
#pragma once

#include "platform/ui/backend.h"

// Fills the buttons, icon, default button and Escape answer of `box` from
// `style`; false for an unknown button set or default button.
bool MessageBoxDecodeStyle(UINT style, UiMessageBox* box);

// The answer for a question nobody is there to answer: the one that changes
// nothing (Cancel, else No, else Abort), else the default (a box with OK only).
int MessageBoxCautiousAnswer(const UiMessageBox& box);

// The button's label as the platform writes it ("OK", "Yes" ...).
const char16_t* MessageBoxButtonText(int answer);
