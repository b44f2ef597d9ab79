// Bad-block management of a NAND module as its OS driver, its bootloader and
// the update program share it: the list page in the chip's first block that
// records which logical blocks moved into the reserve at the top of the chip,
// and the block map built from it once per boot in the named shared memory
// "NAND_FLASH_BBMT", which every process driving the chip uses.
#pragma once

#include <cstdint>
#include <string>

#include "module/nand_chips.h"
#include "module/shared_memory.h"

constexpr char16_t kNandBlockMapName[] = u"NAND_FLASH_BBMT";
constexpr uint32_t kNandBlockMapMagic = 0x544D4242;  // "BBMT": the map is built
constexpr uint32_t kNandBlockMapMagicBytes = 4;
constexpr uint32_t kNandBlockMapMaxBlocks = 8192;     // the largest supported chip
constexpr uint32_t kNandBlockMapBytes = kNandBlockMapMagicBytes + 2 * kNandBlockMapMaxBlocks;

// The list page: physical page 63, the last page of block 0 on every chip.
constexpr uint32_t kNandListPage = 63;
constexpr uint16_t kNandListHeader = 0x524E;  // stored as the bytes 0x4E, 0x52
constexpr uint32_t kNandListEntriesOffset = 4;
constexpr uint32_t kNandListEntryBytes = 4;
constexpr uint32_t kNandListMaxEntries = (kNandPageBytes - kNandListEntriesOffset) / kNandListEntryBytes;
constexpr uint16_t kNandListEnd = 0xFFFF;     // first field of the slot after the last entry
constexpr uint16_t kNandListCancelled = 0;    // first field of an entry no longer in force

// Logical page 127 lies where the list page pushed it: nowhere.
constexpr uint32_t kNandPagelessLogicalPage = 2 * kNandPagesPerBlock - 1;

struct NandListEntry {
  uint16_t logical = 0;      // kNandListCancelled for an entry no longer in force
  uint16_t replacement = 0;  // the physical block that holds it
};

// Reserve at the top of the chip: 2 % of its blocks, rounded down.
inline uint32_t NandReserveBlocks(uint32_t blocks) { return 2 * blocks / 100; }
inline uint32_t NandUsableBlocks(const NandChipType* chip) { return chip->blocks - NandReserveBlocks(chip->blocks); }
// Bytes of the logical flash the OS and the program see.
inline uint32_t NandUsableBytes(const NandChipType* chip) { return NandUsableBlocks(chip) * kNandBlockBytes; }

// --- The list page, as bytes of one page.

// An empty list: the header, every other byte erased.
void NandListFormat(uint8_t page[kNandPageBytes]);
bool NandListHasHeader(const uint8_t page[kNandPageBytes]);
// Entries before the terminator, never more than the page holds.
uint32_t NandListCount(const uint8_t page[kNandPageBytes]);
NandListEntry NandListEntryAt(const uint8_t page[kNandPageBytes], uint32_t index);
void NandListPut(uint8_t page[kNandPageBytes], uint32_t index, const NandListEntry& entry);

// Moves logical block `logical` (not 0) to a fresh replacement: the highest
// block of the reserve no entry names (cancelled ones included), the older
// entry for the block cancelled, the new one appended. Entries only ever
// clear bits, so the page can be programmed again in place. False, with the
// page unchanged, when the reserve or the page is full.
bool NandListMove(uint8_t page[kNandPageBytes], uint32_t blocks, uint16_t logical, uint16_t* replacement);

// Records a block of the reserve that must never be handed out (a factory
// bad block there) as a cancelled entry naming it. False when the page is full.
bool NandListWithhold(uint8_t page[kNandPageBytes], uint16_t block);

// --- The block map.

struct NandBlockMap {
  SharedMemory memory;
  uint8_t* view = nullptr;  // kNandBlockMapBytes
};

// The module's shared map (created unbuilt when no process has made it yet).
bool NandBlockMapOpenShared(const std::string& shmDir, NandBlockMap* map, std::string* error);
// The shared map when some process has built it this boot; else `built` is
// false and nothing is created.
bool NandBlockMapOpenIfBuilt(const std::string& shmDir, NandBlockMap* map, bool* built, std::string* error);
// A map of this process only, unbuilt.
bool NandBlockMapOpenPrivate(NandBlockMap* map, std::string* error);
void NandBlockMapClose(NandBlockMap* map);

bool NandBlockMapBuilt(const NandBlockMap& map);
// The physical block of logical block `block` (< kNandBlockMapMaxBlocks).
uint32_t NandBlockMapGet(const NandBlockMap& map, uint32_t block);
void NandBlockMapSet(NandBlockMap* map, uint32_t block, uint16_t physical);

// Builds the map of a chip of `blocks` blocks from its list page: every
// block to itself, then the entries in order (later ones win; entries naming
// blocks the chip does not have, or block 0 as a replacement, are ignored),
// the magic last. False, with the map left unbuilt, when the page has no
// header.
bool NandBlockMapBuild(NandBlockMap* map, const uint8_t list[kNandPageBytes], uint32_t blocks);

// Forgets the shared map of the module's boot (its magic and entries go), as
// a restart does; the next start builds it again. Nothing to do when no
// process made one.
bool NandBlockMapDropShared(const std::string& shmDir, std::string* error);

// The physical page a read or write of `logicalPage` goes to: its block as
// the map says, one page further for logical pages 63 to 126 (the list page
// sits in between), which fill the block the map gives logical block 1,
// logical page 63 its first page. False for logical page 127, which has
// none, and for a map entry that leaves the chip.
bool NandPhysicalPage(const NandBlockMap& map, const NandChipType* chip, uint32_t logicalPage, uint32_t* physical);
