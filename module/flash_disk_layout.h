// The flash disk's format on NOR flash (docs/flash-disk.md): the region is a
// row of erase blocks; each block in use starts with a header and a table of
// slot entries, followed by its data slots of one sector each. A logical
// sector lives in whichever slot last took it, so the same sector moves
// around the region as it is rewritten.
#pragma once

#include <cstdint>
#include <string>

#include "module/module_flash.h"

// Where the flash disk lives and how it is cut up, as the driver's registry
// key gives it ("MemBase", "MemLen", "BlockSize", "SectorSize").
struct FlashDiskGeometry {
  uint32_t base = 0;
  uint32_t length = 0;
  uint32_t blockBytes = 0;
  uint32_t sectorBytes = 0;
};

// The numbers that follow from a geometry.
struct FlashDiskLayout {
  uint32_t blocks = 0;
  uint32_t slotsPerBlock = 0;  // data slots of a block
  uint32_t dataOffset = 0;     // block offset of slot 0: header and entry table before it
  uint32_t sectorCount = 0;    // logical sectors the disk offers
};

constexpr uint32_t kFlashDiskMagic = 0x4B534446;  // "FDSK", written last when a block is opened
constexpr uint32_t kFlashDiskVersion = 1;
constexpr uint32_t kFlashDiskHeaderBytes = 64;
constexpr uint32_t kFlashDiskEntryBytes = 16;
// Reclaiming a block copies its live sectors into an erased one first, and
// the store is sized so that one always exists: two blocks' worth of slots
// are never offered as sectors.
constexpr uint32_t kFlashDiskReserveBlocks = 2;
constexpr uint32_t kFlashDiskErasedWord = 0xFFFFFFFF;
constexpr uint32_t kFlashDiskNoAddress = 0xFFFFFFFF;

// Block header fields (byte offsets).
constexpr uint32_t kHeaderMagic = 0;
constexpr uint32_t kHeaderVersion = 4;
constexpr uint32_t kHeaderSequence = 8;
constexpr uint32_t kHeaderSectorBytes = 12;
constexpr uint32_t kHeaderBlockBytes = 16;
constexpr uint32_t kHeaderSlots = 20;
constexpr uint32_t kHeaderDataOffset = 24;
constexpr uint32_t kHeaderCheck = 28;  // complement of the sum of the words from version to data offset
constexpr uint32_t kHeaderState = 32;
// Cleared before a block is erased, so a block whose erase was cut short is
// never read for sectors again.
constexpr uint32_t kBlockRetiredBit = 1u << 0;

// Slot entry fields (byte offsets within an entry).
constexpr uint32_t kEntrySector = 0;
constexpr uint32_t kEntrySectorCheck = 4;  // complement of the sector number
constexpr uint32_t kEntryState = 8;
// State bits, cleared one after the other as a slot goes through its life.
constexpr uint32_t kSlotAllocatedBit = 1u << 0;  // entry written, data may be partial
constexpr uint32_t kSlotValidBit = 1u << 1;      // data complete: the commit mark
constexpr uint32_t kSlotObsoleteBit = 1u << 2;   // replaced or trimmed

// Checks `geometry` against the flash (region inside it, blocks made of
// whole erase blocks, sectors that fit) and works out the layout.
bool FlashDiskLayoutFor(const ModuleFlash& flash, const FlashDiskGeometry& geometry, FlashDiskLayout* layout,
                        std::string* error);

// "0x01480000": flash offsets as messages show them.
std::string FlashAddressText(uint32_t address);

// Flash offsets of a block, of the entry of a slot and of its data.
uint32_t FlashDiskBlockAddress(const FlashDiskGeometry& geometry, uint32_t block);
uint32_t FlashDiskEntryAddress(const FlashDiskGeometry& geometry, uint32_t block, uint32_t slot);
uint32_t FlashDiskSlotAddress(const FlashDiskGeometry& geometry, const FlashDiskLayout& layout, uint32_t block,
                              uint32_t slot);

enum class BlockHeaderKind {
  Erased,   // the header reads erased: the block holds nothing
  InUse,    // a valid header of this geometry
  Retired,  // valid, but marked for erasure
  Foreign,  // anything else: a torn header, other data, another geometry
};

// Encodes the header of a block opened with `sequence`.
void FlashDiskEncodeHeader(const FlashDiskGeometry& geometry, const FlashDiskLayout& layout, uint32_t sequence,
                           uint8_t header[kFlashDiskHeaderBytes]);
BlockHeaderKind FlashDiskDecodeHeader(const FlashDiskGeometry& geometry, const FlashDiskLayout& layout,
                                      const uint8_t header[kFlashDiskHeaderBytes], uint32_t* sequence);

enum class SlotKind {
  Free,  // entry reads erased: nothing was ever written here
  Live,  // a committed, current-looking copy of `sector`
  Dead,  // allocated but never committed, obsolete, or unreadable
};

SlotKind FlashDiskDecodeEntry(const FlashDiskLayout& layout, const uint8_t entry[kFlashDiskEntryBytes],
                              uint32_t* sector);
// The entry as first written: sector number, its check, and the allocated mark.
void FlashDiskEncodeEntry(uint32_t sector, uint8_t entry[kFlashDiskEntryBytes]);
