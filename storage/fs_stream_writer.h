// Writing the data area of a sector-level file-system stream: the store's
// mapped sectors as runs, each a chunk header patched in place once the run's
// data and Fletcher sum are known. Also the few file operations a stream
// writer needs with 64-bit positions.
#pragma once

#include <cstdint>

#include "platform/storage.h"
#include "platform/types.h"

// Sectors asked about per sector address query: each query rescans the
// flash disk, so one asks about many sectors at once. The numbers and the
// answers take 256 KB; a store of up to 16 MB of 512-byte sectors is asked
// about in one query.
constexpr uint32_t FS_SECTOR_QUERY_BATCH = 32768;

// The largest run of one chunk: 2 MB of sectors (the work buffer's full size).
constexpr uint32_t FS_RUN_BYTES_MAX = 0x200000;

struct SectorStreamRequest {
  HANDLE file;         // positioned where the first chunk goes
  HANDLE store;
  STOREINFO info;      // the store's record: sector count and size
  uint32_t address;    // flash address the progress reports name
  uint32_t usedBytes;  // bytes of mapped sectors the region scan counted, for the progress
};

// Appends a chunk for every run of mapped sectors the store has now.
// FWL_OK, FWL_ERR_USER_ABORT, FWL_ERR_WRITE_FILE, FWL_ERR_NO_MEMORY or
// FWL_ERR_FS_RESTORE.
uint32_t WriteSectorChunks(const SectorStreamRequest& request);

