// Disk control calls on store handles: the flash disk's sector address
// query and sector reads and writes.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/error.h"
#include "platform/storage_internal.h"

namespace {

constexpr DWORD kSectorNumberBytes = sizeof(DWORD);
// Sectors moved per round between the request's buffers and the disk, so
// a large request needs no buffer of its own size.
constexpr uint32_t kChunkSectors = 64;
constexpr size_t kRequestHeadBytes = offsetof(SG_REQ, sr_sglist);

// Sets the last error; always false, so failures read `return Fail(code);`.
bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

bool SectorAddresses(StoreObject* store, const void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* bytesReturned) {
  if (in == nullptr || out == nullptr || inSize == 0 || inSize % kSectorNumberBytes != 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (outSize < inSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  StoreDevice device;
  StoreSession session;
  if (!StorageBegin(store->device, &device, &session)) return Fail(ERROR_INVALID_HANDLE);
  bool ok = true;
  for (DWORD at = 0; ok && at < inSize; at += kSectorNumberBytes) {
    DWORD sector = 0;
    std::memcpy(&sector, static_cast<const uint8_t*>(in) + at, sizeof sector);
    ok = sector < FlashDiskSectorCount(session.disk);
    DWORD address = ok ? FlashDiskSectorAddress(session.disk, sector) : SECTOR_ADDRESS_NONE;
    std::memcpy(static_cast<uint8_t*>(out) + at, &address, sizeof address);
  }
  StorageEnd(&session);
  if (!ok) return Fail(ERROR_INVALID_PARAMETER);
  if (bytesReturned != nullptr) *bytesReturned = inSize;
  return true;
}

// The request's buffer list runs on past the record's one declared entry.
SG_BUF* Buffer(SG_REQ* request, DWORD index) {
  return reinterpret_cast<SG_BUF*>(reinterpret_cast<uint8_t*>(request) + kRequestHeadBytes) + index;
}

// Walks the request's buffers as one run of bytes.
struct BufferCursor {
  SG_REQ* request;
  DWORD buffer = 0;
  DWORD offset = 0;
};

void MoveBytes(BufferCursor* cursor, uint8_t* chunk, size_t length, bool toBuffers) {
  while (length > 0) {
    SG_BUF& b = *Buffer(cursor->request, cursor->buffer);
    size_t n = std::min<size_t>(length, b.sb_len - cursor->offset);
    if (toBuffers) {
      std::memcpy(b.sb_buf + cursor->offset, chunk, n);
    } else {
      std::memcpy(chunk, b.sb_buf + cursor->offset, n);
    }
    chunk += n;
    length -= n;
    cursor->offset += static_cast<DWORD>(n);
    if (cursor->offset == b.sb_len) {
      cursor->buffer++;
      cursor->offset = 0;
    }
  }
}

// The request must describe its buffers within `inSize`, and they must
// hold the sectors asked for.
bool RequestUsable(SG_REQ* request, DWORD inSize, uint32_t sectorBytes) {
  if (request->sr_num_sg == 0 || request->sr_num_sg > (inSize - kRequestHeadBytes) / sizeof(SG_BUF)) return false;
  uint64_t room = 0;
  for (DWORD i = 0; i < request->sr_num_sg; i++) {
    const SG_BUF& b = *Buffer(request, i);
    if (b.sb_buf == nullptr && b.sb_len != 0) return false;
    room += b.sb_len;
  }
  return room >= uint64_t{request->sr_num_sec} * sectorBytes;
}

bool Transfer(StoreObject* store, DWORD code, void* in, DWORD inSize) {
  if (in == nullptr || inSize < sizeof(SG_REQ) || reinterpret_cast<uintptr_t>(in) % alignof(SG_REQ) != 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  auto* request = static_cast<SG_REQ*>(in);
  StoreDevice device;
  StoreSession session;
  if (!StorageBegin(store->device, &device, &session)) return Fail(ERROR_INVALID_HANDLE);
  uint32_t sectorBytes = session.disk.geometry.sectorBytes;
  DWORD error = ERROR_SUCCESS;
  if (!RequestUsable(request, inSize, sectorBytes) ||
      uint64_t{request->sr_start} + request->sr_num_sec > FlashDiskSectorCount(session.disk)) {
    error = ERROR_INVALID_PARAMETER;
  }
  bool reading = code == IOCTL_DISK_READ;
  std::vector<uint8_t> chunk(uint64_t{kChunkSectors} * sectorBytes);
  BufferCursor cursor{request};
  for (uint32_t done = 0; error == ERROR_SUCCESS && done < request->sr_num_sec;) {
    uint32_t n = std::min(kChunkSectors, request->sr_num_sec - done);
    size_t bytes = size_t{n} * sectorBytes;
    std::string message;
    if (reading) {
      if (FlashDiskRead(&session.disk, request->sr_start + done, n, chunk.data(), &message)) {
        MoveBytes(&cursor, chunk.data(), bytes, true);
      } else {
        error = ERROR_READ_FAULT;
      }
    } else {
      MoveBytes(&cursor, chunk.data(), bytes, false);
      if (!FlashDiskWrite(&session.disk, request->sr_start + done, n, chunk.data(), &message)) {
        error = ERROR_WRITE_FAULT;
      }
    }
    done += n;
  }
  StorageEnd(&session);
  request->sr_status = error;
  return error == ERROR_SUCCESS || Fail(error);
}

}  // namespace

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     DWORD* bytesReturned, LPVOID overlapped) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  StoreObject* store = StoreFromHandle(device);
  if (store == nullptr) return FALSE;
  // Every request completes before the call returns; there is nothing to overlap.
  if (overlapped != nullptr) {
    Fail(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  bool ok = false;
  switch (code) {
    case IOCTL_DISK_GET_SECTOR_ADDR:
      ok = SectorAddresses(store, in, inSize, out, outSize, bytesReturned);
      break;
    case IOCTL_DISK_READ:
    case IOCTL_DISK_WRITE:
      ok = Transfer(store, code, in, inSize);
      break;
    default:
      ok = Fail(ERROR_NOT_SUPPORTED);
      break;
  }
  return ok ? TRUE : FALSE;
}
