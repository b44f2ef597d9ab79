// Formatting the store "Internal Flash" for a restore, and creating the
// partitions a file-level stream recorded.
#pragma once

#include <cstdint>

#include "platform/storage.h"
#include "platform/types.h"

// Restore phases reported through the erase progress slot as (phase, 0).
constexpr uint32_t FS_PHASE_PREPARING = 1;
constexpr uint32_t FS_PHASE_FORMATTING = 2;
constexpr uint32_t FS_PHASE_FORMATTED = 3;

// Finds the first store named exactly "Internal Flash" that opens, records
// its device name in the library state, dismounts and formats it. FWL_OK,
// FWL_ERR_USER_ABORT or FWL_ERR_FORMAT. `*store` is the open store whenever
// one was found (also after a later failure; the caller closes it), else
// INVALID_HANDLE_VALUE.
uint32_t FormatInternalStore(HANDLE* store);

// Creates, formats and mounts the partition `record` describes and gives it
// its attributes. A sector count of all ones takes what the store still has.
bool CreateStreamPartition(HANDLE store, const PARTINFO& record);
