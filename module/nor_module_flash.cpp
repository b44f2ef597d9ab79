// The module OS's own flash driver: it reaches the chips through their
// command set like any driver, so the chips' faults and timing apply to it.
#include <time.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "module/nor_chip.h"
#include "module/nor_model.h"

namespace {

constexpr uint32_t kBothChips = 0x00010001;  // a command byte for each chip
constexpr uint32_t kReadyBoth = kNorStatusReady * kBothChips;
constexpr uint32_t kFailBits = (kNorStatusEraseError | kNorStatusProgramError | kNorStatusVppLow | kNorStatusLocked) *
                               kBothChips;
constexpr uint32_t kBusWordBytes = 4;
constexpr uint32_t kChipShift = 16;
constexpr uint32_t kByteBits = 8;
constexpr uint32_t kByteMask = 0xFF;
constexpr uint32_t kReadChunkWords = 256;

// Waits, from the datasheets' worst cases with room to spare; the status is
// read before the clock so a descheduled thread never times out a ready chip.
constexpr uint64_t kProgramTimeoutNs = 100ull * 1000 * 1000;
constexpr uint64_t kEraseTimeoutNs = 5ull * 1000 * 1000 * 1000;
constexpr long kProgramPollNs = 20 * 1000;
constexpr long kErasePollNs = 1000 * 1000;

struct Access {
  NorModel* model;
  const BusDeviceOps* bus;
};

Access Of(void* ctx) {
  auto* model = static_cast<NorModel*>(ctx);
  return Access{model, NorModelBusOps()};
}

void Command(const Access& a, uint32_t offset, uint8_t cmd) { a.bus->write32(a.model, offset, cmd * kBothChips); }

bool InRange(const Access& a, uint32_t offset, uint32_t length) {
  uint32_t size = NorModelBusBytes(a.model);
  return offset <= size && length <= size - offset;
}

// Status of both chips once ready; false on timeout.
bool WaitReady(const Access& a, uint32_t offset, uint64_t timeoutNs, long pollNs, uint32_t* status) {
  *status = a.bus->read32(a.model, offset);
  if ((*status & kReadyBoth) == kReadyBoth) return true;
  uint64_t start = NorMonotonicNs();
  for (;;) {
    *status = a.bus->read32(a.model, offset);
    if ((*status & kReadyBoth) == kReadyBoth) return true;
    if (NorMonotonicNs() - start > timeoutNs) return false;
    struct timespec pause = {0, pollNs};
    ::nanosleep(&pause, nullptr);
  }
}

// Every failure ends here so the chips are back in read array with clean status.
bool Finish(const Access& a, uint32_t offset, bool ok) {
  if (!ok) Command(a, offset, kNorCmdClearStatus);
  Command(a, offset, kNorCmdReadArray);
  return ok;
}

// Starts of the blocks from `from` (a block start) up to `to` that are locked
// in either chip.
std::vector<uint32_t> LockedBlocks(const Access& a, uint32_t from, uint64_t to) {
  const NorGeometry& g = *NorModelGeometry(a.model);
  std::vector<uint32_t> locked;
  for (uint32_t at = from; at < to; at += NorBusBlockBytes(g, at)) {
    Command(a, at, kNorCmdReadId);
    uint32_t status = a.bus->read32(a.model, at + kNorIdLockStatus * kBusWordBytes);
    Command(a, at, kNorCmdReadArray);
    if ((status & kNorLockBit * kBothChips) != 0) locked.push_back(at);
  }
  return locked;
}

// Unlocks the locked blocks of [offset, end). Where one clear frees every
// block of the chips, the blocks outside the range that were locked are
// locked again, so the bootloader stays as protected as it was.
void UnlockBlocks(const Access& a, uint32_t offset, uint64_t end) {
  const NorGeometry& g = *NorModelGeometry(a.model);
  uint32_t first = NorBusBlockStart(g, offset);
  std::vector<uint32_t> inside = LockedBlocks(a, first, end);
  if (inside.empty()) return;
  std::vector<uint32_t> outside;
  if (g.nonVolatileLocks) {
    for (uint32_t at : LockedBlocks(a, 0, NorModelBusBytes(a.model))) {
      if (at < first || at >= end) outside.push_back(at);
    }
  }
  // One clear is all such chips need.
  if (g.nonVolatileLocks) inside.erase(inside.begin() + 1, inside.end());
  for (uint32_t at : inside) {
    Command(a, at, kNorCmdLockSetup);
    Command(a, at, kNorCmdConfirm);
  }
  for (uint32_t at : outside) {
    Command(a, at, kNorCmdLockSetup);
    Command(a, at, kNorCmdLockBlock);
  }
  Command(a, first, kNorCmdReadArray);
}

bool FlashRead(void* ctx, uint32_t offset, void* out, uint32_t length) {
  Access a = Of(ctx);
  if (!InRange(a, offset, length)) return false;
  if (length == 0) return true;
  Command(a, offset & ~(kBusWordBytes - 1), kNorCmdReadArray);
  auto* dst = static_cast<uint8_t*>(out);
  uint64_t end = uint64_t{offset} + length;
  uint64_t at = offset;
  // The bus word's bytes lie in memory order on a little-endian host: from a
  // word boundary into a word-aligned buffer, whole words go straight in.
  if constexpr (std::endian::native == std::endian::little) {
    size_t whole = length / kBusWordBytes;
    if (offset % kBusWordBytes == 0 && reinterpret_cast<uintptr_t>(dst) % alignof(uint32_t) == 0 && whole != 0) {
      a.bus->readWords(a.model, offset, reinterpret_cast<uint32_t*>(dst), whole);
      dst += whole * kBusWordBytes;
      at += whole * kBusWordBytes;
    }
  }
  uint32_t words[kReadChunkWords];
  while (at < end) {
    uint32_t first = static_cast<uint32_t>(at) & ~(kBusWordBytes - 1);
    uint64_t chunkEnd = std::min<uint64_t>(end, uint64_t{first} + kReadChunkWords * kBusWordBytes);
    size_t count = static_cast<size_t>((chunkEnd - first + kBusWordBytes - 1) / kBusWordBytes);
    a.bus->readWords(a.model, first, words, count);
    uint64_t skip = at - first;
    uint64_t take = chunkEnd - at;
    // The bus word's bytes lie in memory order on a little-endian host: whole
    // runs copy at once.
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(dst, reinterpret_cast<const uint8_t*>(words) + skip, static_cast<size_t>(take));
      dst += take;
      at = chunkEnd;
    }
    for (; at < chunkEnd; at++) {
      uint64_t index = at - first;
      *dst++ = static_cast<uint8_t>(words[index / kBusWordBytes] >> (index % kBusWordBytes * kByteBits));
    }
  }
  return true;
}

// Bus word at `at` from the caller's bytes; bytes outside [offset, end) are
// 0xFF, which programming leaves alone.
uint32_t DataWord(const uint8_t* data, uint32_t offset, uint32_t end, uint32_t at) {
  uint32_t word = 0;
  for (uint32_t i = 0; i < kBusWordBytes; i++) {
    uint32_t byte = at + i >= offset && at + i < end ? data[at + i - offset] : kByteMask;
    word |= byte << (i * kByteBits);
  }
  return word;
}

bool FlashProgram(void* ctx, uint32_t offset, const void* data, uint32_t length) {
  Access a = Of(ctx);
  if (!InRange(a, offset, length)) return false;
  if (length == 0) return true;
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint32_t end = offset + length;
  UnlockBlocks(a, offset, end);
  uint32_t runBytes = NorModelGeometry(a.model)->bufferWords * kBusWordBytes;
  uint32_t at = offset & ~(kBusWordBytes - 1);
  uint32_t status = 0;
  while (at < end) {
    // A run fills at most one buffer-aligned region of the chips.
    uint32_t regionEnd = (at / runBytes + 1) * runBytes;
    uint32_t runEnd = std::min(regionEnd, (end + kBusWordBytes - 1) & ~(kBusWordBytes - 1));
    uint32_t count = (runEnd - at) / kBusWordBytes;
    Command(a, at, kNorCmdWriteBuffer);
    if (!WaitReady(a, at, kProgramTimeoutNs, kProgramPollNs, &status)) return Finish(a, at, false);
    a.bus->write32(a.model, at, (count - 1) | (count - 1) << kChipShift);
    for (uint32_t w = at; w < runEnd; w += kBusWordBytes) a.bus->write32(a.model, w, DataWord(bytes, offset, end, w));
    uint32_t last = runEnd - kBusWordBytes;
    Command(a, last, kNorCmdConfirm);
    if (!WaitReady(a, last, kProgramTimeoutNs, kProgramPollNs, &status) || (status & kFailBits) != 0) {
      return Finish(a, last, false);
    }
    at = runEnd;
  }
  return Finish(a, offset & ~(kBusWordBytes - 1), true);
}

bool FlashErase(void* ctx, uint32_t offset, uint32_t length) {
  Access a = Of(ctx);
  if (!InRange(a, offset, length)) return false;
  if (length == 0) return true;
  const NorGeometry& g = *NorModelGeometry(a.model);
  uint64_t end = uint64_t{offset} + length;
  uint32_t status = 0;
  for (uint32_t at = NorBusBlockStart(g, offset); at < end; at += NorBusBlockBytes(g, at)) {
    UnlockBlocks(a, at, at + 1);
    Command(a, at, kNorCmdEraseSetup);
    Command(a, at, kNorCmdConfirm);
    if (!WaitReady(a, at, kEraseTimeoutNs, kErasePollNs, &status) || (status & kFailBits) != 0) {
      return Finish(a, at, false);
    }
    Command(a, at, kNorCmdReadArray);
  }
  return true;
}

uint32_t FlashSize(void* ctx) { return NorModelBusBytes(static_cast<NorModel*>(ctx)); }

uint32_t FlashBlockSize(void* ctx, uint32_t offset) {
  auto* model = static_cast<NorModel*>(ctx);
  if (offset >= NorModelBusBytes(model)) return 0;
  return NorBusBlockBytes(*NorModelGeometry(model), offset);
}

bool FlashChanges(void* ctx, uint64_t* count) { return NorModelCellChanges(static_cast<NorModel*>(ctx), count); }

const ModuleFlashOps kNorModuleFlashOps = {FlashRead,      FlashProgram, FlashErase, FlashSize,
                                           FlashBlockSize, nullptr,      FlashChanges};

}  // namespace

ModuleFlash NorModelModuleFlash(NorModel* model) { return ModuleFlash{&kNorModuleFlashOps, model}; }
