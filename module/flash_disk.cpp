#include "module/flash_disk.h"

#include <algorithm>
#include <cstring>

#include "module/store_bytes.h"

namespace {

// A slot whose data does not read back as written (a weak or failing
// program) is left uncommitted, and the sector goes to the next slot.
constexpr int kWriteAttempts = 3;
constexpr uint8_t kErasedByte = 0xFF;

bool ReadFlash(const FlashDisk& disk, uint32_t address, void* out, uint32_t length, std::string* error) {
  if (ModuleFlashRead(disk.flash, address, out, length)) return true;
  *error = "cannot read the flash at " + FlashAddressText(address);
  return false;
}

// The mount's own change moves it along to the flash's new change count,
// unless something else had changed the flash before.
void FollowOwnChange(FlashDisk* disk, bool wasUpToDate) {
  if (wasUpToDate) ModuleFlashChanges(disk->flash, &disk->changes);
}

bool Program(FlashDisk* disk, uint32_t address, const void* data, uint32_t length) {
  bool upToDate = FlashDiskUpToDate(*disk);
  bool ok = ModuleFlashProgram(disk->flash, address, data, length);
  FollowOwnChange(disk, upToDate);
  return ok;
}

bool Erase(FlashDisk* disk, uint32_t address, uint32_t length) {
  bool upToDate = FlashDiskUpToDate(*disk);
  bool ok = ModuleFlashErase(disk->flash, address, length);
  FollowOwnChange(disk, upToDate);
  return ok;
}

// Programs bytes into erased flash and checks they read back as given.
bool ProgramFresh(FlashDisk* disk, uint32_t address, const uint8_t* data, uint32_t length, std::string* error) {
  std::vector<uint8_t> back(length);
  if (!Program(disk, address, data, length) ||
      !ModuleFlashRead(disk->flash, address, back.data(), length) || std::memcmp(back.data(), data, length) != 0) {
    *error = "cannot program the flash at " + FlashAddressText(address);
    return false;
  }
  return true;
}

// Clears `bit` of a status word; only that the bit reads cleared counts, as
// the word may have had other bits cleared before.
bool ClearBit(FlashDisk* disk, uint32_t address, uint32_t bit, std::string* error) {
  uint8_t word[sizeof(uint32_t)];
  StoreLe32(word, ~bit);
  uint8_t back[sizeof(uint32_t)];
  if (!Program(disk, address, word, sizeof word) ||
      !ModuleFlashRead(disk->flash, address, back, sizeof back) || (LoadLe32(back) & bit) != 0) {
    *error = "cannot program the flash at " + FlashAddressText(address);
    return false;
  }
  return true;
}

uint32_t SlotBlock(const FlashDisk& disk, uint32_t slotIndex) { return slotIndex / disk.layout.slotsPerBlock; }
uint32_t SlotInBlock(const FlashDisk& disk, uint32_t slotIndex) { return slotIndex % disk.layout.slotsPerBlock; }

uint32_t EntryStateAddress(const FlashDisk& disk, uint32_t slotIndex) {
  return FlashDiskEntryAddress(disk.geometry, SlotBlock(disk, slotIndex), SlotInBlock(disk, slotIndex)) + kEntryState;
}

// Copies are ordered by when they were written: blocks by sequence, slots
// within a block by position, as slots are filled from the front.
bool Newer(const FlashDisk& disk, uint32_t a, uint32_t b) {
  uint32_t seqA = disk.blocks[SlotBlock(disk, a)].sequence;
  uint32_t seqB = disk.blocks[SlotBlock(disk, b)].sequence;
  if (seqA != seqB) return seqA > seqB;
  return SlotInBlock(disk, a) > SlotInBlock(disk, b);
}

void TakeCopy(FlashDisk* disk, uint32_t sector, uint32_t slotIndex) {
  uint32_t& current = disk->sectorSlot[sector];
  if (current == kFlashDiskNoAddress) {
    current = slotIndex;
  } else if (Newer(*disk, slotIndex, current)) {
    disk->stale.push_back(current);
    current = slotIndex;
  } else {
    disk->stale.push_back(slotIndex);
  }
}

bool ScanBlock(FlashDisk* disk, uint32_t block, std::vector<uint8_t>* table, std::string* error) {
  const FlashDiskLayout& layout = disk->layout;
  uint32_t tableBytes = kFlashDiskHeaderBytes + layout.slotsPerBlock * kFlashDiskEntryBytes;
  table->resize(tableBytes);
  if (!ReadFlash(*disk, FlashDiskBlockAddress(disk->geometry, block), table->data(), tableBytes, error)) return false;
  FlashDiskBlock& info = disk->blocks[block];
  info = FlashDiskBlock{};
  info.kind = FlashDiskDecodeHeader(disk->geometry, layout, table->data(), &info.sequence);
  if (info.kind == BlockHeaderKind::InUse || info.kind == BlockHeaderKind::Retired) {
    if (info.sequence > disk->lastSequence) disk->lastSequence = info.sequence;
  }
  if (info.kind != BlockHeaderKind::InUse) return true;
  for (uint32_t slot = 0; slot < layout.slotsPerBlock; slot++) {
    uint32_t sector = 0;
    SlotKind kind = FlashDiskDecodeEntry(layout, table->data() + kFlashDiskHeaderBytes + slot * kFlashDiskEntryBytes,
                                         &sector);
    if (kind != SlotKind::Free) info.fill = slot + 1;
    if (kind == SlotKind::Live) TakeCopy(disk, sector, block * layout.slotsPerBlock + slot);
  }
  return true;
}

// A block that can be made ready for new copies by at most an erase.
bool Reclaimable(const FlashDisk& disk, uint32_t block) {
  const FlashDiskBlock& info = disk.blocks[block];
  return info.kind != BlockHeaderKind::InUse || info.live == 0;
}

bool EraseBlock(FlashDisk* disk, uint32_t block, std::string* error) {
  FlashDiskBlock& info = disk->blocks[block];
  uint32_t address = FlashDiskBlockAddress(disk->geometry, block);
  if (info.kind == BlockHeaderKind::InUse &&
      !ClearBit(disk, address + kHeaderState, kBlockRetiredBit, error)) {
    return false;
  }
  if (!Erase(disk, address, disk->geometry.blockBytes)) {
    *error = "cannot erase the flash disk block at " + FlashAddressText(address);
    return false;
  }
  info = FlashDiskBlock{};
  if (disk->active == block) disk->active = kFlashDiskNoAddress;
  return true;
}

// The block may only claim to be erased when every byte is; a cut erase can
// leave a blank header over leftovers.
bool EnsureErased(FlashDisk* disk, uint32_t block, std::string* error) {
  if (disk->blocks[block].kind == BlockHeaderKind::Erased) {
    std::vector<uint8_t> bytes(disk->geometry.blockBytes);
    if (!ReadFlash(*disk, FlashDiskBlockAddress(disk->geometry, block), bytes.data(), disk->geometry.blockBytes,
                   error)) {
      return false;
    }
    bool blank = true;
    for (uint8_t b : bytes) blank = blank && b == kErasedByte;
    if (blank) return true;
  }
  return EraseBlock(disk, block, error);
}

// Makes `block` the one new copies go to. The magic goes in last, so a cut
// leaves a header that is not recognised and the block is reclaimed.
bool OpenBlock(FlashDisk* disk, uint32_t block, std::string* error) {
  if (!EnsureErased(disk, block, error)) return false;
  uint32_t sequence = disk->lastSequence + 1;
  uint8_t header[kFlashDiskHeaderBytes];
  FlashDiskEncodeHeader(disk->geometry, disk->layout, sequence, header);
  uint8_t magic[sizeof(uint32_t)];
  std::memcpy(magic, header + kHeaderMagic, sizeof magic);
  std::memset(header + kHeaderMagic, kErasedByte, sizeof magic);
  uint32_t address = FlashDiskBlockAddress(disk->geometry, block);
  if (!ProgramFresh(disk, address, header, sizeof header, error) ||
      !ProgramFresh(disk, address + kHeaderMagic, magic, sizeof magic, error)) {
    return false;
  }
  disk->lastSequence = sequence;
  disk->blocks[block] = FlashDiskBlock{BlockHeaderKind::InUse, sequence, 0, 0};
  disk->active = block;
  return true;
}

uint32_t FreeSlots(const FlashDisk& disk) {
  if (disk.active == kFlashDiskNoAddress) return 0;
  return disk.layout.slotsPerBlock - disk.blocks[disk.active].fill;
}

// Reclaimable blocks other than the one taking writes, starting after it so
// that wear spreads over the region instead of cycling the first blocks.
std::vector<uint32_t> SpareBlocks(const FlashDisk& disk) {
  std::vector<uint32_t> found;
  uint32_t count = disk.layout.blocks;
  bool activeTakesWrites = FreeSlots(disk) > 0;
  uint32_t start = disk.active == kFlashDiskNoAddress ? 0 : disk.active + 1;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t block = (start + i) % count;
    if (Reclaimable(disk, block) && !(activeTakesWrites && block == disk.active)) found.push_back(block);
  }
  // Blocks that need no erase first.
  std::stable_partition(found.begin(), found.end(),
                        [&](uint32_t b) { return disk.blocks[b].kind == BlockHeaderKind::Erased; });
  return found;
}

// Programs one copy of `sector` into the next slot of the active block,
// which must have one, and makes it the sector's current copy; the old copy
// is left to the caller. A failed attempt leaves its slot dead.
bool ProgramCopy(FlashDisk* disk, uint32_t sector, const uint8_t* data, std::string* error) {
  uint32_t block = disk->active;
  uint32_t slot = disk->blocks[block].fill++;
  uint8_t entry[kFlashDiskEntryBytes];
  FlashDiskEncodeEntry(sector, entry);
  uint32_t entryAddress = FlashDiskEntryAddress(disk->geometry, block, slot);
  // Entry, then data, then the valid mark: until the mark is in, the slot
  // is dead and the previous copy stays current.
  if (!ProgramFresh(disk, entryAddress, entry, sizeof entry, error) ||
      !ProgramFresh(disk, FlashDiskSlotAddress(disk->geometry, disk->layout, block, slot), data,
                    disk->geometry.sectorBytes, error) ||
      !ClearBit(disk, entryAddress + kEntryState, kSlotValidBit, error)) {
    return false;
  }
  disk->sectorSlot[sector] = block * disk->layout.slotsPerBlock + slot;
  disk->blocks[block].live++;
  return true;
}

// Moves a copy into the active block's free slots, trying the next slot
// when one does not take it.
bool MoveCopy(FlashDisk* disk, uint32_t sector, const uint8_t* data, std::string* error) {
  for (int attempt = 0; attempt < kWriteAttempts; attempt++) {
    if (FreeSlots(*disk) == 0) {
      *error = "the flash disk block being filled is full";
      return false;
    }
    if (ProgramCopy(disk, sector, data, error)) return true;
  }
  return false;
}

// Frees a block by moving its live copies into the active block (after
// making `target` the active block, unless it is kFlashDiskNoAddress): the
// one that frees most among those whose copies fit.
bool Reclaim(FlashDisk* disk, uint32_t target, std::string* error) {
  const FlashDiskLayout& layout = disk->layout;
  if (target != kFlashDiskNoAddress && !OpenBlock(disk, target, error)) return false;
  uint32_t room = FreeSlots(*disk);
  uint32_t victim = kFlashDiskNoAddress;
  uint32_t best = 0;
  for (uint32_t b = 0; b < layout.blocks; b++) {
    const FlashDiskBlock& info = disk->blocks[b];
    if (b == disk->active || info.kind != BlockHeaderKind::InUse || info.live > room) continue;
    uint32_t gain = layout.slotsPerBlock - info.live;
    if (gain > best) {
      best = gain;
      victim = b;
    }
  }
  if (victim == kFlashDiskNoAddress) {
    *error = "the flash disk is full";
    return false;
  }
  std::vector<uint8_t> data(disk->geometry.sectorBytes);
  for (uint32_t sector = 0; sector < layout.sectorCount; sector++) {
    uint32_t slot = disk->sectorSlot[sector];
    if (slot == kFlashDiskNoAddress || SlotBlock(*disk, slot) != victim) continue;
    // The old copy is not marked: the new one is newer, and the whole block
    // is retired before it is erased.
    if (!ReadFlash(*disk, FlashDiskSlotAddress(disk->geometry, layout, victim, SlotInBlock(*disk, slot)), data.data(),
                   disk->geometry.sectorBytes, error) ||
        !MoveCopy(disk, sector, data.data(), error)) {
      return false;
    }
    disk->blocks[victim].live--;
  }
  std::erase_if(disk->stale, [&](uint32_t s) { return SlotBlock(*disk, s) == victim; });
  return EraseBlock(disk, victim, error);
}

// Makes sure the active block has a free slot while one spare block stays
// in reserve for reclaiming. A reclaim cut short leaves the reserve used up
// by a half-filled active block; it is finished into that block's free
// slots before anything else is written.
bool MakeRoom(FlashDisk* disk, std::string* error) {
  // Each round opens or frees a block; the bound only guards against flash
  // that keeps failing in ways the checks did not catch.
  for (uint32_t round = 0; round <= disk->layout.blocks; round++) {
    std::vector<uint32_t> spare = SpareBlocks(*disk);
    bool ok = true;
    if (FreeSlots(*disk) > 0) {
      if (!spare.empty()) return true;
      ok = Reclaim(disk, kFlashDiskNoAddress, error);
    } else if (spare.size() >= 2) {
      ok = OpenBlock(disk, spare[0], error);
    } else if (spare.size() == 1) {
      ok = Reclaim(disk, spare[0], error);
    } else {
      *error = "the flash disk is full";
      ok = false;
    }
    if (!ok) return false;
  }
  *error = "the flash disk cannot make room";
  return false;
}

// Writes one copy of `sector` where the layout has room for it.
bool WriteCopy(FlashDisk* disk, uint32_t sector, const uint8_t* data, std::string* error) {
  for (int attempt = 0; attempt < kWriteAttempts; attempt++) {
    if (!MakeRoom(disk, error)) return false;
    if (ProgramCopy(disk, sector, data, error)) return true;
  }
  return false;
}

bool MarkObsolete(FlashDisk* disk, uint32_t slotIndex, std::string* error) {
  return ClearBit(disk, EntryStateAddress(*disk, slotIndex), kSlotObsoleteBit, error);
}

bool Repair(FlashDisk* disk, std::string* error) {
  while (!disk->stale.empty()) {
    if (!MarkObsolete(disk, disk->stale.back(), error)) return false;
    disk->stale.pop_back();
  }
  return true;
}

// Drops the current copy of `sector`, which must have one.
bool DropCopy(FlashDisk* disk, uint32_t sector, std::string* error) {
  uint32_t slot = disk->sectorSlot[sector];
  if (!MarkObsolete(disk, slot, error)) return false;
  disk->sectorSlot[sector] = kFlashDiskNoAddress;
  disk->blocks[SlotBlock(*disk, slot)].live--;
  return true;
}

// Every failing path of a change goes through here.
bool ChangeFailed(FlashDisk* disk) {
  disk->tracked = false;
  return false;
}

}  // namespace

bool FlashDiskMount(const ModuleFlash& flash, const FlashDiskGeometry& geometry, FlashDisk* disk,
                    std::string* error) {
  *disk = FlashDisk{};
  disk->flash = flash;
  disk->geometry = geometry;
  // Taken first: a change made while the scan runs leaves the count behind.
  disk->tracked = ModuleFlashChanges(flash, &disk->changes);
  if (!FlashDiskLayoutFor(flash, geometry, &disk->layout, error)) return false;
  disk->sectorSlot.assign(disk->layout.sectorCount, kFlashDiskNoAddress);
  disk->blocks.resize(disk->layout.blocks);
  std::vector<uint8_t> table;
  for (uint32_t block = 0; block < disk->layout.blocks; block++) {
    if (!ScanBlock(disk, block, &table, error)) return false;
  }
  for (uint32_t slot : disk->sectorSlot) {
    if (slot != kFlashDiskNoAddress) disk->blocks[SlotBlock(*disk, slot)].live++;
  }
  // New copies continue in the newest block; an older block with free slots
  // must not take them, or they would rank below copies already written.
  for (uint32_t block = 0; block < disk->layout.blocks; block++) {
    const FlashDiskBlock& info = disk->blocks[block];
    if (info.kind == BlockHeaderKind::InUse &&
        (disk->active == kFlashDiskNoAddress || info.sequence > disk->blocks[disk->active].sequence)) {
      disk->active = block;
    }
  }
  return true;
}

bool FlashDiskUpToDate(const FlashDisk& disk) {
  uint64_t now = 0;
  return disk.tracked && ModuleFlashChanges(disk.flash, &now) && now == disk.changes;
}

uint32_t FlashDiskSectorAddress(const FlashDisk& disk, uint32_t sector) {
  if (sector >= disk.layout.sectorCount) return kFlashDiskNoAddress;
  uint32_t slot = disk.sectorSlot[sector];
  if (slot == kFlashDiskNoAddress) return kFlashDiskNoAddress;
  return FlashDiskSlotAddress(disk.geometry, disk.layout, SlotBlock(disk, slot), SlotInBlock(disk, slot));
}

uint32_t FlashDiskMappedCount(const FlashDisk& disk, uint32_t first, uint32_t count) {
  uint32_t mapped = 0;
  for (uint32_t s = first; s < first + count; s++) mapped += disk.sectorSlot[s] != kFlashDiskNoAddress ? 1 : 0;
  return mapped;
}

bool FlashDiskRead(FlashDisk* disk, uint32_t first, uint32_t count, uint8_t* out, std::string* error) {
  uint32_t bytes = disk->geometry.sectorBytes;
  for (uint32_t i = 0; i < count; i++) {
    uint8_t* to = out + uint64_t{i} * bytes;
    uint32_t address = FlashDiskSectorAddress(*disk, first + i);
    if (address == kFlashDiskNoAddress) {
      std::memset(to, kErasedByte, bytes);
    } else if (!ReadFlash(*disk, address, to, bytes, error)) {
      return false;
    }
  }
  return true;
}

bool FlashDiskWrite(FlashDisk* disk, uint32_t first, uint32_t count, const uint8_t* data, std::string* error) {
  if (!Repair(disk, error)) return ChangeFailed(disk);
  for (uint32_t i = 0; i < count; i++) {
    uint32_t sector = first + i;
    uint32_t old = disk->sectorSlot[sector];
    if (!WriteCopy(disk, sector, data + uint64_t{i} * disk->geometry.sectorBytes, error)) return ChangeFailed(disk);
    if (old == kFlashDiskNoAddress) continue;
    disk->blocks[SlotBlock(*disk, old)].live--;
    // The new copy already wins on order; an old copy that cannot be marked
    // now is marked on the next change.
    std::string ignored;
    if (!MarkObsolete(disk, old, &ignored)) disk->stale.push_back(old);
  }
  return true;
}

bool FlashDiskTrim(FlashDisk* disk, uint32_t first, uint32_t count, std::string* error) {
  if (!Repair(disk, error)) return ChangeFailed(disk);
  for (uint32_t sector = first; sector < first + count; sector++) {
    if (disk->sectorSlot[sector] != kFlashDiskNoAddress && !DropCopy(disk, sector, error)) return ChangeFailed(disk);
  }
  return true;
}

bool FlashDiskFormat(FlashDisk* disk, std::string* error) {
  // Every block is marked before any is erased, so a cut leaves no mix of
  // old sectors behind.
  uint32_t blocks = disk->layout.blocks;
  for (uint32_t b = 0; b < blocks; b++) {
    if (disk->blocks[b].kind != BlockHeaderKind::InUse) continue;
    if (!ClearBit(disk, FlashDiskBlockAddress(disk->geometry, b) + kHeaderState, kBlockRetiredBit, error)) {
      return ChangeFailed(disk);
    }
    disk->blocks[b].kind = BlockHeaderKind::Retired;
  }
  for (uint32_t b = 0; b < blocks; b++) {
    if (disk->blocks[b].kind != BlockHeaderKind::Erased && !EraseBlock(disk, b, error)) return ChangeFailed(disk);
  }
  disk->sectorSlot.assign(disk->layout.sectorCount, kFlashDiskNoAddress);
  disk->stale.clear();
  disk->active = kFlashDiskNoAddress;
  return true;
}
