#include "module/flash_disk_layout.h"

#include <cstdio>
#include <cstring>

#include "module/store_bytes.h"

namespace {

constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kEntryReservedWord = 12;

// The disk block at `at` must be a whole number of the flash's erase blocks,
// or erasing it would take a neighbour along (or leave part of it).
bool BlockMadeOfEraseBlocks(const ModuleFlash& flash, uint32_t at, uint32_t blockBytes) {
  uint64_t end = uint64_t{at} + blockBytes;
  uint64_t pos = at;
  while (pos < end) {
    uint32_t erase = flash.ops->blockSize(flash.ctx, static_cast<uint32_t>(pos));
    if (erase == 0 || pos % erase != 0) return false;
    pos += erase;
  }
  return pos == end;
}

uint32_t HeaderCheck(const uint8_t* header) {
  uint32_t sum = 0;
  for (uint32_t at = kHeaderVersion; at <= kHeaderDataOffset; at += kWordBytes) sum += LoadLe32(header + at);
  return ~sum;
}

bool AllErased(const uint8_t* bytes, uint32_t length) {
  for (uint32_t i = 0; i < length; i++) {
    if (bytes[i] != 0xFF) return false;
  }
  return true;
}

}  // namespace

std::string FlashAddressText(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", address);
  return text;
}

bool FlashDiskLayoutFor(const ModuleFlash& flash, const FlashDiskGeometry& g, FlashDiskLayout* layout,
                        std::string* error) {
  *layout = FlashDiskLayout{};
  if (g.sectorBytes == 0 || g.sectorBytes % kWordBytes != 0 || g.blockBytes == 0 || g.blockBytes % g.sectorBytes != 0) {
    *error = "sector size " + std::to_string(g.sectorBytes) + " does not divide block size " +
             std::to_string(g.blockBytes) + " in whole words";
    return false;
  }
  uint32_t flashBytes = flash.ops->size(flash.ctx);
  if (g.base > flashBytes || g.length > flashBytes - g.base) {
    *error = "the flash disk region " + FlashAddressText(g.base) + "+" + FlashAddressText(g.length) +
             " lies outside the flash";
    return false;
  }
  // A region that is not a whole number of blocks leaves its tail unused.
  uint32_t blocks = g.length / g.blockBytes;
  if (blocks <= kFlashDiskReserveBlocks) {
    *error = "the flash disk region holds " + std::to_string(blocks) + " blocks, it needs at least " +
             std::to_string(kFlashDiskReserveBlocks + 1);
    return false;
  }
  for (uint32_t b = 0; b < blocks; b++) {
    if (!BlockMadeOfEraseBlocks(flash, g.base + b * g.blockBytes, g.blockBytes)) {
      *error = "the flash disk block at " + FlashAddressText(g.base + b * g.blockBytes) +
               " is not made of whole erase blocks";
      return false;
    }
  }
  // The fewest leading slots that hold the header and the entries of the rest.
  uint32_t total = g.blockBytes / g.sectorBytes;
  uint32_t reserved = 1;
  while (reserved < total &&
         uint64_t{kFlashDiskHeaderBytes} + uint64_t{kFlashDiskEntryBytes} * (total - reserved) >
             uint64_t{reserved} * g.sectorBytes) {
    reserved++;
  }
  if (reserved >= total) {
    *error = "a block of " + std::to_string(g.blockBytes) + " bytes has no room for data slots";
    return false;
  }
  uint64_t sectors = uint64_t{blocks - kFlashDiskReserveBlocks} * (total - reserved);
  if (sectors >= kFlashDiskNoAddress) {
    *error = "the flash disk would have more sectors than a sector number can count";
    return false;
  }
  layout->blocks = blocks;
  layout->slotsPerBlock = total - reserved;
  layout->dataOffset = reserved * g.sectorBytes;
  layout->sectorCount = static_cast<uint32_t>(sectors);
  return true;
}

uint32_t FlashDiskBlockAddress(const FlashDiskGeometry& g, uint32_t block) { return g.base + block * g.blockBytes; }

uint32_t FlashDiskEntryAddress(const FlashDiskGeometry& g, uint32_t block, uint32_t slot) {
  return FlashDiskBlockAddress(g, block) + kFlashDiskHeaderBytes + slot * kFlashDiskEntryBytes;
}

uint32_t FlashDiskSlotAddress(const FlashDiskGeometry& g, const FlashDiskLayout& layout, uint32_t block,
                              uint32_t slot) {
  return FlashDiskBlockAddress(g, block) + layout.dataOffset + slot * g.sectorBytes;
}

void FlashDiskEncodeHeader(const FlashDiskGeometry& g, const FlashDiskLayout& layout, uint32_t sequence,
                           uint8_t header[kFlashDiskHeaderBytes]) {
  std::memset(header, 0xFF, kFlashDiskHeaderBytes);
  StoreLe32(header + kHeaderMagic, kFlashDiskMagic);
  StoreLe32(header + kHeaderVersion, kFlashDiskVersion);
  StoreLe32(header + kHeaderSequence, sequence);
  StoreLe32(header + kHeaderSectorBytes, g.sectorBytes);
  StoreLe32(header + kHeaderBlockBytes, g.blockBytes);
  StoreLe32(header + kHeaderSlots, layout.slotsPerBlock);
  StoreLe32(header + kHeaderDataOffset, layout.dataOffset);
  StoreLe32(header + kHeaderCheck, HeaderCheck(header));
}

BlockHeaderKind FlashDiskDecodeHeader(const FlashDiskGeometry& g, const FlashDiskLayout& layout,
                                      const uint8_t header[kFlashDiskHeaderBytes], uint32_t* sequence) {
  *sequence = 0;
  if (AllErased(header, kFlashDiskHeaderBytes)) return BlockHeaderKind::Erased;
  // Another geometry's blocks cannot be read with this one's slots; they are
  // as good as foreign data and get reclaimed.
  if (LoadLe32(header + kHeaderMagic) != kFlashDiskMagic || LoadLe32(header + kHeaderVersion) != kFlashDiskVersion ||
      LoadLe32(header + kHeaderCheck) != HeaderCheck(header) ||
      LoadLe32(header + kHeaderSectorBytes) != g.sectorBytes || LoadLe32(header + kHeaderBlockBytes) != g.blockBytes ||
      LoadLe32(header + kHeaderSlots) != layout.slotsPerBlock ||
      LoadLe32(header + kHeaderDataOffset) != layout.dataOffset) {
    return BlockHeaderKind::Foreign;
  }
  *sequence = LoadLe32(header + kHeaderSequence);
  if ((LoadLe32(header + kHeaderState) & kBlockRetiredBit) == 0) return BlockHeaderKind::Retired;
  return BlockHeaderKind::InUse;
}

SlotKind FlashDiskDecodeEntry(const FlashDiskLayout& layout, const uint8_t entry[kFlashDiskEntryBytes],
                              uint32_t* sector) {
  *sector = LoadLe32(entry + kEntrySector);
  if (AllErased(entry, kFlashDiskEntryBytes)) return SlotKind::Free;
  uint32_t state = LoadLe32(entry + kEntryState);
  bool committed = (state & kSlotValidBit) == 0 && (state & kSlotObsoleteBit) != 0;
  // A torn entry write can leave any mix of bits; the check word catches a
  // sector number that is not the one written.
  if (!committed || LoadLe32(entry + kEntrySectorCheck) != ~*sector || *sector >= layout.sectorCount) {
    return SlotKind::Dead;
  }
  return SlotKind::Live;
}

void FlashDiskEncodeEntry(uint32_t sector, uint8_t entry[kFlashDiskEntryBytes]) {
  StoreLe32(entry + kEntrySector, sector);
  StoreLe32(entry + kEntrySectorCheck, ~sector);
  StoreLe32(entry + kEntryState, ~kSlotAllocatedBit);
  StoreLe32(entry + kEntryReservedWord, kFlashDiskErasedWord);
}
