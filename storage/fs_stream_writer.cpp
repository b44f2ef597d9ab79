#include "storage/fs_stream_writer.h"

#include <algorithm>
#include <new>

#include "fwlib/callbacks.h"
#include "fwlib/checksum.h"
#include "fwlib/file_writes.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "platform/files.h"
#include "storage/fs_stream_header.h"

namespace {

// Chunk lengths are 32-bit byte counts.
constexpr uint64_t kChunkBytesMax = UINT32_MAX;

struct SectorWalk {
  const SectorStreamRequest* request;
  uint32_t sectorBytes;
  uint32_t flushSectors;  // whole sectors the work buffer holds
  uint32_t pendingMax;     // a run ends once this many sectors wait to be read (2 MB)
  uint32_t runSectorsMax;  // a run ends before its length overflows the chunk header
  bool runOpen;
  uint32_t runFirst;
  uint32_t runSectors;
  uint64_t chunkAt;       // file position of the open run's chunk header
  uint32_t pending;       // sectors of the open run not yet read
  uint32_t firstPending;
};


uint32_t Flush(SectorWalk* walk) {
  if (walk->pending == 0) return FWL_OK;
  uint32_t bytes = walk->pending * walk->sectorBytes;
  SG_REQ read = {};
  read.sr_start = walk->firstPending;
  read.sr_num_sec = walk->pending;
  read.sr_num_sg = 1;
  read.sr_sglist[0] = {WorkBufferData(), bytes};
  DWORD returned = 0;
  if (!DeviceIoControl(walk->request->store, IOCTL_DISK_READ, &read, sizeof read, nullptr, 0, &returned, nullptr)) {
    return FWL_ERR_FS_RESTORE;
  }
  // A sector size the Fletcher sum cannot take in words could never validate.
  if (!ChecksumFeed(WorkBufferData(), bytes)) return FWL_ERR_FS_RESTORE;
  if (!FileWriteAll(walk->request->file, WorkBufferData(), bytes)) return FWL_ERR_WRITE_FILE;
  if (!ReportBytes(bytes)) return FWL_ERR_USER_ABORT;
  walk->firstPending += walk->pending;
  walk->pending = 0;
  return FWL_OK;
}

uint32_t OpenRun(SectorWalk* walk, uint32_t sector) {
  ChecksumSelect(ChecksumKind::Fletcher);
  const uint32_t placeholder[] = {sector, 0, 0};
  if (!FilePosition(walk->request->file, &walk->chunkAt) || !FileWriteLe32(walk->request->file, placeholder, 3)) {
    return FWL_ERR_WRITE_FILE;
  }
  walk->runOpen = true;
  walk->runFirst = sector;
  walk->runSectors = 1;
  walk->pending = 1;
  walk->firstPending = sector;
  return FWL_OK;
}

uint32_t CloseRun(SectorWalk* walk) {
  uint32_t result = Flush(walk);
  if (result != FWL_OK) return result;
  walk->runOpen = false;
  const uint32_t chunk[] = {walk->runFirst, walk->runSectors * walk->sectorBytes, ChecksumResult()};
  return FilePatchLe32(walk->request->file, walk->chunkAt, chunk, 3) ? FWL_OK : FWL_ERR_WRITE_FILE;
}

uint32_t TakeMapped(SectorWalk* walk, uint32_t sector) {
  if (!walk->runOpen) {
    uint32_t result = OpenRun(walk, sector);
    if (result != FWL_OK) return result;
  } else {
    walk->pending++;
    walk->runSectors++;
  }
  if (walk->pending == walk->pendingMax || walk->runSectors == walk->runSectorsMax) return CloseRun(walk);
  if (walk->pending == walk->flushSectors) return Flush(walk);
  return FWL_OK;
}

// Walks every sector of the store in query batches: the flash disk keeps
// writing while the program runs, so a count taken earlier says nothing
// about where the walk may stop.
uint32_t WalkSectors(SectorWalk* walk, uint32_t sectorCount) {
  uint32_t* numbers = new (std::nothrow) uint32_t[2 * FS_SECTOR_QUERY_BATCH];
  if (numbers == nullptr) return FWL_ERR_NO_MEMORY;
  uint32_t* addresses = numbers + FS_SECTOR_QUERY_BATCH;
  uint32_t result = FWL_OK;
  for (uint32_t first = 0; result == FWL_OK && first < sectorCount;) {
    uint32_t batch = std::min(FS_SECTOR_QUERY_BATCH, sectorCount - first);
    for (uint32_t i = 0; i < batch; i++) numbers[i] = first + i;
    DWORD bytes = batch * sizeof(uint32_t);
    DWORD returned = 0;
    if (!DeviceIoControl(walk->request->store, IOCTL_DISK_GET_SECTOR_ADDR, numbers, bytes, addresses, bytes,
                         &returned, nullptr) ||
        returned != bytes) {
      result = FWL_ERR_FS_RESTORE;
      break;
    }
    for (uint32_t i = 0; result == FWL_OK && i < batch; i++) {
      if (addresses[i] != SECTOR_ADDRESS_NONE) {
        result = TakeMapped(walk, first + i);
      } else if (walk->runOpen) {
        result = CloseRun(walk);
      }
    }
    first += batch;
  }
  delete[] numbers;
  if (result == FWL_OK && walk->runOpen) result = CloseRun(walk);
  return result;
}

}  // namespace

uint32_t WriteSectorChunks(const SectorStreamRequest& request) {
  uint32_t sectorBytes = request.info.dwBytesPerSector;
  if (sectorBytes == 0) return FWL_ERR_FS_RESTORE;
  if (!WorkBufferAcquire() || WorkBufferSize() < sectorBytes) return FWL_ERR_NO_MEMORY;
  if (request.info.snNumSectors > UINT32_MAX) return FWL_ERR_FS_RESTORE;

  SectorWalk walk = {};
  walk.request = &request;
  walk.sectorBytes = sectorBytes;
  walk.flushSectors = WorkBufferSize() / sectorBytes;
  // At least 1: the work buffer is at most 2 MB and holds a sector.
  walk.pendingMax = FS_RUN_BYTES_MAX / sectorBytes;
  walk.runSectorsMax = static_cast<uint32_t>(kChunkBytesMax / sectorBytes);

  if (!ReportSectionStart(request.address, request.usedBytes, 0)) return FWL_ERR_USER_ABORT;
  return WalkSectors(&walk, static_cast<uint32_t>(request.info.snNumSectors));
}
