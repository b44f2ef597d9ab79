#include "module/nand_block_map.h"

#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "module/object_name.h"
#include "module/store_bytes.h"

namespace {

constexpr uint8_t kErasedByte = 0xFF;
constexpr uint32_t kReplacementField = 2;  // within an entry, after the logical block

uint32_t EntryOffset(uint32_t index) { return kNandListEntriesOffset + index * kNandListEntryBytes; }

uint8_t* MapEntry(const NandBlockMap& map, uint32_t block) {
  return map.view + kNandBlockMapMagicBytes + block * sizeof(uint16_t);
}

bool MapView(NandBlockMap* map, std::string* error) {
  if (map->memory.size < kNandBlockMapBytes) {
    *error = "the shared block map is smaller than a map";
    SharedMemoryClose(&map->memory);
    return false;
  }
  void* view = SharedMemoryMap(map->memory, 0, kNandBlockMapBytes, true, error);
  if (view == nullptr) {
    SharedMemoryClose(&map->memory);
    return false;
  }
  map->view = static_cast<uint8_t*>(view);
  return true;
}

bool SharedMapExists(const std::string& shmDir) {
  struct stat st;
  return ::stat((shmDir + "/" + ModuleObjectFileName(kNandBlockMapName)).c_str(), &st) == 0;
}

}  // namespace

void NandListFormat(uint8_t page[kNandPageBytes]) {
  std::memset(page, kErasedByte, kNandPageBytes);
  StoreLe16(page, kNandListHeader);
}

bool NandListHasHeader(const uint8_t page[kNandPageBytes]) { return LoadLe16(page) == kNandListHeader; }

uint32_t NandListCount(const uint8_t page[kNandPageBytes]) {
  uint32_t count = 0;
  while (count < kNandListMaxEntries && NandListEntryAt(page, count).logical != kNandListEnd) count++;
  return count;
}

NandListEntry NandListEntryAt(const uint8_t page[kNandPageBytes], uint32_t index) {
  const uint8_t* at = page + EntryOffset(index);
  return NandListEntry{LoadLe16(at), LoadLe16(at + kReplacementField)};
}

void NandListPut(uint8_t page[kNandPageBytes], uint32_t index, const NandListEntry& entry) {
  uint8_t* at = page + EntryOffset(index);
  StoreLe16(at, entry.logical);
  StoreLe16(at + kReplacementField, entry.replacement);
}

bool NandListMove(uint8_t page[kNandPageBytes], uint32_t blocks, uint16_t logical, uint16_t* replacement) {
  uint32_t count = NandListCount(page);
  if (count >= kNandListMaxEntries || logical == kNandListCancelled) return false;
  // Every block an entry ever named stays used, cancelled or not: it may
  // still hold data a reader of an older list expects, or be bad.
  std::vector<bool> used(blocks, false);
  int64_t older = -1;
  for (uint32_t i = 0; i < count; i++) {
    NandListEntry e = NandListEntryAt(page, i);
    if (e.replacement < blocks) used[e.replacement] = true;
    if (e.logical == logical) older = i;
  }
  uint32_t lowest = blocks - NandReserveBlocks(blocks);
  uint32_t candidate = blocks - 1;
  while (candidate >= lowest && used[candidate]) candidate--;
  if (candidate < lowest) return false;
  if (older >= 0) {
    NandListEntry cancelled = NandListEntryAt(page, static_cast<uint32_t>(older));
    cancelled.logical = kNandListCancelled;
    NandListPut(page, static_cast<uint32_t>(older), cancelled);
  }
  NandListPut(page, count, NandListEntry{logical, static_cast<uint16_t>(candidate)});
  *replacement = static_cast<uint16_t>(candidate);
  return true;
}

bool NandListWithhold(uint8_t page[kNandPageBytes], uint16_t block) {
  uint32_t count = NandListCount(page);
  if (count >= kNandListMaxEntries) return false;
  NandListPut(page, count, NandListEntry{kNandListCancelled, block});
  return true;
}

bool NandBlockMapOpenShared(const std::string& shmDir, NandBlockMap* map, std::string* error) {
  *map = NandBlockMap{};
  bool existed = false;
  return SharedMemoryOpen(shmDir, kNandBlockMapName, kNandBlockMapBytes, &existed, &map->memory, error) &&
         MapView(map, error);
}

bool NandBlockMapOpenIfBuilt(const std::string& shmDir, NandBlockMap* map, bool* built, std::string* error) {
  *map = NandBlockMap{};
  *built = false;
  if (!SharedMapExists(shmDir)) return true;
  if (!NandBlockMapOpenShared(shmDir, map, error)) return false;
  *built = NandBlockMapBuilt(*map);
  if (!*built) NandBlockMapClose(map);
  return true;
}

bool NandBlockMapOpenPrivate(NandBlockMap* map, std::string* error) {
  *map = NandBlockMap{};
  return SharedMemoryCreatePrivate(kNandBlockMapBytes, &map->memory, error) && MapView(map, error);
}

void NandBlockMapClose(NandBlockMap* map) {
  if (map->view != nullptr) SharedMemoryUnmap(map->view, kNandBlockMapBytes);
  SharedMemoryClose(&map->memory);
  *map = NandBlockMap{};
}

bool NandBlockMapBuilt(const NandBlockMap& map) {
  return map.view != nullptr && LoadLe32(map.view) == kNandBlockMapMagic;
}

uint32_t NandBlockMapGet(const NandBlockMap& map, uint32_t block) { return LoadLe16(MapEntry(map, block)); }

void NandBlockMapSet(NandBlockMap* map, uint32_t block, uint16_t physical) {
  StoreLe16(MapEntry(*map, block), physical);
}

bool NandBlockMapBuild(NandBlockMap* map, const uint8_t list[kNandPageBytes], uint32_t blocks) {
  if (!NandListHasHeader(list) || blocks > kNandBlockMapMaxBlocks) return false;
  for (uint32_t b = 0; b < blocks; b++) NandBlockMapSet(map, b, static_cast<uint16_t>(b));
  uint32_t count = NandListCount(list);
  for (uint32_t i = 0; i < count; i++) {
    NandListEntry e = NandListEntryAt(list, i);
    // An entry sending a block onto block 0 would have its erase take the
    // list page along: it is as foreign as one naming a block not there.
    if (e.logical == kNandListCancelled || e.logical >= blocks || e.replacement >= blocks || e.replacement == 0) {
      continue;
    }
    NandBlockMapSet(map, e.logical, e.replacement);
  }
  // The magic goes last: a build cut short leaves a map the next start
  // builds again, never a half-filled one that looks ready.
  StoreLe32(map->view, kNandBlockMapMagic);
  return true;
}

bool NandBlockMapDropShared(const std::string& shmDir, std::string* error) {
  NandBlockMap map;
  bool built = false;
  if (!NandBlockMapOpenIfBuilt(shmDir, &map, &built, error)) return false;
  // Cleared in place rather than removed: a process that still has it mapped
  // must see the map gone too, not keep a copy of its own.
  if (built) std::memset(map.view, 0, kNandBlockMapBytes);
  NandBlockMapClose(&map);
  return true;
}

bool NandPhysicalPage(const NandBlockMap& map, const NandChipType* chip, uint32_t logicalPage, uint32_t* physical) {
  if (logicalPage == kNandPagelessLogicalPage) return false;
  // Logical page 63 is the first page of block 1 and goes where block 1
  // goes: left in a block that moved, no erase would reach it again.
  uint32_t stored = logicalPage >= kNandListPage && logicalPage < kNandPagelessLogicalPage ? logicalPage + 1
                                                                                          : logicalPage;
  uint32_t block = stored / kNandPagesPerBlock;
  if (block >= chip->blocks) return false;
  uint32_t mapped = NandBlockMapGet(map, block);
  if (mapped >= chip->blocks) return false;
  uint32_t page = mapped * kNandPagesPerBlock + stored % kNandPagesPerBlock;
  if (page >= NandChipPages(chip)) return false;
  *physical = page;
  return true;
}
