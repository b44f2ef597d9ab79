#include "storage/fs_restore_sectors.h"

#include <algorithm>

#include "fwlib/bin_file_io.h"
#include "fwlib/bin_file_sections.h"
#include "fwlib/callbacks.h"
#include "fwlib/refusal.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "platform/files.h"
#include "storage/store_access.h"

namespace {

struct Geometry {
  uint32_t sectorBytes;
  uint64_t sectorCount;
};

Geometry StreamGeometry(const FsStreamHeader& header) {
  STOREINFO info = FsStreamStoreInfo(header);
  return Geometry{info.dwBytesPerSector, info.snNumSectors};
}

// A chunk that fits the stream and the store; `left` is what remains of the
// stream after its header.
bool ChunkFits(const StreamChunkHeader& chunk, uint64_t left, const Geometry& geometry) {
  if (chunk.length % geometry.sectorBytes != 0 || chunk.length > left) return false;
  return uint64_t{chunk.tag} + chunk.length / geometry.sectorBytes <= geometry.sectorCount;
}

bool WriteSectors(HANDLE store, uint32_t first, uint32_t count, uint32_t sectorBytes) {
  SG_REQ write = {};
  write.sr_start = first;
  write.sr_num_sec = count;
  write.sr_num_sg = 1;
  write.sr_sglist[0] = {WorkBufferData(), count * sectorBytes};
  DWORD returned = 0;
  return DeviceIoControl(store, IOCTL_DISK_WRITE, &write, sizeof write, nullptr, 0, &returned, nullptr) != FALSE;
}

}  // namespace

uint32_t CheckSectorStream(const FsStreamHeader& header, const FsTarget& target, FsStreamPlan* plan) {
  // The sectors go back where they were, so they must be this store's sectors.
  Geometry geometry = StreamGeometry(header);
  if (geometry.sectorBytes != target.storeSectorBytes) {
    RefusalSet(u"the file-system stream holds %u-byte sectors; this module's store has %u-byte sectors",
               geometry.sectorBytes, target.storeSectorBytes);
    return FWL_ERR_FILE_FORMAT;
  }
  geometry.sectorCount = target.storeSectors;
  if (!WorkBufferAcquire() || WorkBufferSize() < geometry.sectorBytes) return FWL_ERR_NO_MEMORY;
  uint64_t start = 0, size = 0;
  if (!ImageFilePosition(&start) || !ImageFileSize(&size)) return FWL_ERR_FILE_FORMAT;
  uint64_t at = start;
  uint64_t left = header.dataLength;
  uint32_t result = FWL_OK;
  while (result == FWL_OK && left != 0) {
    StreamChunkHeader chunk;
    if (left < FS_CHUNK_HEADER_BYTES || !ReadStreamChunkHeader(&chunk)) {
      result = FWL_ERR_FILE_FORMAT;
      break;
    }
    at += FS_CHUNK_HEADER_BYTES;
    left -= FS_CHUNK_HEADER_BYTES;
    if (!ChunkFits(chunk, left, geometry) || at + chunk.length > size || !ImageFileSeek(at + chunk.length)) {
      RefusalSet(u"the file-system stream's run at sector %u (%u bytes) does not fit this module's store of "
                 u"%u sectors", chunk.tag, chunk.length, Clamp32(geometry.sectorCount));
      result = FWL_ERR_FILE_FORMAT;
    }
    plan->sectors += chunk.length / geometry.sectorBytes;
    at += chunk.length;
    left -= std::min<uint64_t>(left, chunk.length);
  }
  if (!ImageFileSeek(start)) return FWL_ERR_FILE_FORMAT;
  return result;
}

uint32_t RestoreSectorStream(HANDLE store, const FsStreamHeader& header, uint32_t address) {
  Geometry geometry = StreamGeometry(header);
  STOREINFO now = {};
  now.cbSize = STORE_INFO_BYTES;
  // The store must take every sector where it was: another geometry here
  // would scatter the file system.
  if (!GetStoreInfo(store, &now) || now.dwBytesPerSector != geometry.sectorBytes) return FWL_ERR_FS_RESTORE;
  geometry.sectorCount = now.snNumSectors;
  uint32_t perRequest = WorkBufferSize() / geometry.sectorBytes;
  if (!ReportSectionStart(address, header.dataLength, 0)) return FWL_ERR_USER_ABORT;
  uint64_t left = header.dataLength;
  while (left != 0) {
    StreamChunkHeader chunk;
    if (left < FS_CHUNK_HEADER_BYTES || !ReadStreamChunkHeader(&chunk)) return FWL_ERR_FILE_FORMAT;
    left -= FS_CHUNK_HEADER_BYTES;
    if (!ChunkFits(chunk, left, geometry)) return FWL_ERR_FS_RESTORE;
    uint32_t next = chunk.tag;
    for (uint32_t sectors = chunk.length / geometry.sectorBytes; sectors != 0;) {
      uint32_t n = std::min(sectors, perRequest);
      uint32_t bytes = n * geometry.sectorBytes;
      if (!ImageFileReadAll(WorkBufferData(), bytes)) return FWL_ERR_FILE_FORMAT;
      left -= bytes;
      if (!WriteSectors(store, next, n, geometry.sectorBytes)) return FWL_ERR_FS_RESTORE;
      next += n;
      sectors -= n;
      if (!ReportBytes(bytes)) return FWL_ERR_USER_ABORT;
    }
  }
  return FWL_OK;
}
