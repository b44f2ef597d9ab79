// Writing the image file the last successful FWLSetBinFile validated and
// left open: the BIN part into the flash, then the file-system stream through
// the file-system restore, then the CPLD section through the CPLD programmer.
#pragma once

#include <cstdint>

#include "fwlib/callbacks.h"

// The erase reports before every block, the writing after every this many
// bytes of a piece: with the chips' real times no display stands still for
// much more than a second (a NOR main block erases in about one, 64 KB
// program in under half of one), and a report costs nothing beside them.
constexpr uint32_t UPDATE_ERASE_PROGRESS_STEP = 0;
constexpr uint32_t UPDATE_BYTES_PROGRESS_STEP = 0x10000;

// 0, or 2, 3, 5, 6, 7, 9, 10, 14 to 23. The file stays open; the work buffer
// is freed. `eraseProgress` gets (bytes erased, widened total) during the
// erase, (image length, image length) after it and the file-system phases;
// `sectionStart` (flash address, length, checksum) before each record and
// (0, section size, 0) before the CPLD is programmed; `bytesProgress` after
// each UPDATE_BYTES_PROGRESS_STEP bytes written and at each record's end.
uint32_t FWLDoUpdate(EraseProgressFn eraseProgress, SectionStartFn sectionStart, BytesProgressFn bytesProgress);

// Back to process start: no saved items, empty shadow and unit writer.
void UpdateResetForTests();
