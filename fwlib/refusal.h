// Why the last image file was refused, in words a technician can act on.
// A result code says only which kind of fault; the plan's checks name the
// one they found (the record, the stream, the volume, the bound), and the
// shell shows it beside the code's message.
#pragma once

#include <cstddef>

#include "platform/types.h"

constexpr size_t REFUSAL_CHARS = 240;

// Forgets the last reason; FWLSetBinFile starts with this.
void RefusalClear();
// Records the reason (printf-style). The first reason of a walk stands: the
// check that found the fault is the one that knows it best.
void RefusalSet(const WCHAR* format, ...);
// The reason, or an empty text when none was given.
const WCHAR* RefusalText();
