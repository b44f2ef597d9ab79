// Flows started from a dialog run on threads of their own, so that the
// dialog's window keeps drawing while their progress window moves. The
// dialog keeps the thread in a slot and waits for it before it ends, since a
// flow's last steps run after its modal windows have gone.
#pragma once

#include "platform/ui/window.h"

using FlowFn = int (*)(HWND owner);

// Starts `flow(dialog)` once the flow in `*slot` has ended, and keeps the
// new thread there. False when no thread could be made; the caller says so.
bool StartFlowThread(HWND dialog, FlowFn flow, HANDLE* slot);

// Waits for the thread in `*slot`, if any, and empties the slot.
void WaitForFlowThread(HANDLE* slot);
