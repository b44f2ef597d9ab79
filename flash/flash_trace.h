// The flash operations of a run as debug trace lines (the host's --verbose):
// each erase, write and read the library asks for, with its range and
// result. Single-word reads are left out: region discovery makes thousands.
#pragma once

#include "flash/flash_layer.h"

// Puts tracing stand-ins into `ops` that call what it held; once only per
// filling of the table.
void FlashTraceWrap(FlashOpsTable* ops);
