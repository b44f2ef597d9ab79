// List box and progress bar messages over the window model.
#pragma once

#include "platform/ui/window_model.h"

// With the model locked: `message` for control `index` of `dialog`; 0 for a
// message the control's kind does not know.
LRESULT ControlMessageLocked(UiDialogState* dialog, int index, UINT message, WPARAM wParam, LPARAM lParam);
