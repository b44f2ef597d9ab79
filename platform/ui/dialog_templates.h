// The dialog templates programs registered, by instance and id.
#pragma once

#include "platform/ui/window.h"

// True when `dialogTemplate` can be shown: sizes not negative, a known kind
// for every control, no more than kMaxDialogControls.
bool DialogTemplateValid(const DialogTemplate* dialogTemplate);

// The template registered for `instance` under `id`, or null.
const DialogTemplate* DialogTemplateFind(HINSTANCE instance, WORD id);

void DialogTemplatesResetForTests();
