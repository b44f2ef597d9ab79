#include "flash/nand_bbm.h"

#include <algorithm>

#include "flash/flash_layer.h"
#include "flash/nand_controller.h"
#include "platform/file_mapping.h"
#include "platform/handles.h"

namespace {

constexpr uint32_t BBM_RESERVE_PERCENT = 2;
constexpr uint32_t PERCENT = 100;
constexpr uint32_t BBM_MAP_ENTRIES_OFFSET = 4;
// Logical pages stored one page higher, behind the list page.
constexpr uint32_t BBM_FIRST_SHIFTED_PAGE = BBM_LIST_PAGE;
constexpr uint32_t BBM_LAST_SHIFTED_PAGE = BBM_UNSTORED_PAGE - 1;
constexpr uint32_t BBM_LIST_REPLACEMENT_OFFSET = 2;  // within an entry
constexpr uint32_t BBM_NO_ENTRY = 0xFFFFFFFF;
constexpr uint32_t ERASED_WORD = 0xFFFFFFFF;
constexpr uint32_t WORD_BYTES = 4;
constexpr uint32_t BITS_PER_BYTE = 8;
constexpr uint32_t BYTE_MASK = 0xFF;

struct BbmState {
  HANDLE mapping = nullptr;  // kept for the life of the process
  uint8_t* view = nullptr;
  // The list page while it is being changed; loaded by the outermost
  // replacement and written back by it, nested ones share it.
  uint32_t list[NAND_MAX_PAGE_BYTES / WORD_BYTES] = {};
  bool listLoaded = false;
  // One page and its spare area on their way from the old block to the new.
  uint32_t copy[(NAND_MAX_PAGE_BYTES + NAND_MAX_SPARE_BYTES) / WORD_BYTES] = {};
};

BbmState g_bbm;

uint32_t& Magic() { return *reinterpret_cast<uint32_t*>(g_bbm.view); }
uint16_t* Map() { return reinterpret_cast<uint16_t*>(g_bbm.view + BBM_MAP_ENTRIES_OFFSET); }

// The list page holds little-endian 16-bit fields whatever the host.
uint16_t ListField(uint32_t offset) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(g_bbm.list) + offset;
  return static_cast<uint16_t>(bytes[0] | bytes[1] << BITS_PER_BYTE);
}
void SetListField(uint32_t offset, uint16_t value) {
  auto* bytes = reinterpret_cast<uint8_t*>(g_bbm.list) + offset;
  bytes[0] = static_cast<uint8_t>(value & BYTE_MASK);
  bytes[1] = static_cast<uint8_t>(value >> BITS_PER_BYTE);
}
uint32_t EntryOffset(uint32_t k) { return BBM_LIST_FIRST_ENTRY + k * BBM_LIST_ENTRY_BYTES; }
uint16_t EntryLogical(uint32_t k) { return ListField(EntryOffset(k)); }
uint16_t EntryReplacement(uint32_t k) { return ListField(EntryOffset(k) + BBM_LIST_REPLACEMENT_OFFSET); }

bool ListHasHeader() { return ListField(0) == BBM_LIST_HEADER; }

// Entries before the terminator; a page without one holds as many as fit.
uint32_t EntryCount() {
  for (uint32_t k = 0; k < BBM_LIST_MAX_ENTRIES; k++) {
    if (EntryLogical(k) == BBM_LIST_END) return k;
  }
  return BBM_LIST_MAX_ENTRIES;
}

// An entry from a torn or foreign page may name blocks the chip does not
// have (the map would be written outside itself) or send a block onto block
// 0 (whose erase would take the list with it): such entries are ignored.
bool EntryUsable(uint32_t k) {
  uint32_t blocks = NandChipGeometry().blockCount;
  uint16_t replacement = EntryReplacement(k);
  return EntryLogical(k) < blocks && replacement < blocks && replacement != 0;
}

// The list page is read and written without error correction: entries are
// added by programming the page again in place, and a second correction code
// programmed over the first would leave neither valid.
uint32_t ListRead() {
  int ecc = NandSetEcc(0);
  uint32_t status = NandReadPage(g_bbm.list, nullptr, 0, BBM_LIST_PAGE);
  NandSetEcc(ecc);
  return status;
}

uint32_t ListProgram() {
  int previous = NandSetEcc(0);
  uint32_t status = NandProgramPage(g_bbm.list, nullptr, 0, BBM_LIST_PAGE);
  NandSetEcc(previous);
  return status;
}

bool AllErased(const uint32_t* words, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) {
    if (words[i] != ERASED_WORD) return false;
  }
  return true;
}

uint32_t FirstReserved() {
  uint32_t blocks = NandChipGeometry().blockCount;
  return blocks - BbmReserveBlocks(blocks);
}

// The lowest reserve block no entry of the loaded list names (handed out or
// withheld): the last a replacement would take. 0 when there is none.
uint32_t FreeCopyBlock() {
  uint32_t n = EntryCount();
  for (uint32_t candidate = FirstReserved(); candidate < NandChipGeometry().blockCount; candidate++) {
    bool named = false;
    for (uint32_t k = 0; k < n && !named; k++) named = EntryUsable(k) && EntryReplacement(k) == candidate;
    if (!named) return candidate;
  }
  return 0;
}

uint32_t FirstPage(uint32_t block) { return block << NandChipGeometry().blockShift; }

// Where a logical page sits before the map moves its block: logical pages
// 63-126 one page higher, behind the list page, so logical page 63 is the
// first page of block 1. It goes where block 1 goes: left behind in a block
// that moved, no erase of either boot block would reach it again, and every
// later write of it would be programmed over what it held.
uint32_t StoredPage(uint32_t logicalPage) {
  bool shifted = logicalPage >= BBM_FIRST_SHIFTED_PAGE && logicalPage <= BBM_LAST_SHIFTED_PAGE;
  return shifted ? logicalPage + 1 : logicalPage;
}

// The list page with its mark into the first page of `block`, which is
// erased first; written raw, as the list page itself is.
void CopySave(uint32_t block) {
  uint32_t* spare = g_bbm.copy + NandChipGeometry().pageSize / WORD_BYTES;
  std::fill(spare, spare + NAND_MAX_SPARE_BYTES / WORD_BYTES, ERASED_WORD);
  spare[BBM_LIST_COPY_MARK_WORD] = BBM_LIST_COPY_MARK;
  spare[BBM_LIST_COPY_MARK_WORD + 1] = ~BBM_LIST_COPY_MARK;
  int ecc = NandSetEcc(0);
  int spareOn = NandSetSpare(1);
  if (NandEraseBlock(FirstPage(block)) == NAND_STATUS_OK) {
    NandProgramPage(g_bbm.list, spare, NandSpareBytes(), FirstPage(block));
  }
  NandSetSpare(spareOn);
  NandSetEcc(ecc);
}

// Looks for a marked copy in the reserve; with one, the list buffer holds it.
bool CopyFind(uint32_t* block) {
  uint32_t pageWords = NandChipGeometry().pageSize / WORD_BYTES;
  const uint32_t* spare = g_bbm.copy + pageWords;
  int ecc = NandSetEcc(0);
  int spareOn = NandSetSpare(1);
  bool found = false;
  for (uint32_t b = FirstReserved(); b < NandChipGeometry().blockCount && !found; b++) {
    uint32_t status = NandReadPage(g_bbm.copy, g_bbm.copy + pageWords, NandSpareBytes(), FirstPage(b));
    found = NandReadSucceeded(status) && spare[BBM_LIST_COPY_MARK_WORD] == BBM_LIST_COPY_MARK &&
            spare[BBM_LIST_COPY_MARK_WORD + 1] == ~BBM_LIST_COPY_MARK;
    if (found) *block = b;
  }
  NandSetSpare(spareOn);
  NandSetEcc(ecc);
  if (found) std::copy(g_bbm.copy, g_bbm.copy + pageWords, g_bbm.list);
  return found;
}

// A cut after block 0's erase, before the list went back, leaves the page
// erased and the copy in the reserve: the list goes back from it. A page
// that holds anything is left alone (programming over it would mix the two).
void ListRestore() {
  uint32_t block = 0;
  if (!AllErased(g_bbm.list, NandChipGeometry().pageSize / WORD_BYTES) || !CopyFind(&block) || !ListHasHeader()) return;
  if (ListProgram() == NAND_STATUS_OK) NandEraseBlock(FirstPage(block));
}

uint32_t BuildSteps() {
  uint32_t status = ListRead();
  if (!NandReadSucceeded(status)) return NandStatusResult(status);
  if (!ListHasHeader()) ListRestore();
  if (!ListHasHeader()) {
    FlashError = FLASH_ERR_NO_BBT;
    return 0;
  }
  uint32_t blocks = NandChipGeometry().blockCount;
  uint16_t* map = Map();
  for (uint32_t i = 0; i < blocks; i++) map[i] = static_cast<uint16_t>(i);
  uint32_t n = EntryCount();
  for (uint32_t k = 0; k < n; k++) {
    if (EntryLogical(k) != BBM_LIST_CANCELLED && EntryUsable(k)) map[EntryLogical(k)] = EntryReplacement(k);
  }
  // The magic goes in last: a build cut short leaves a map that the next
  // process builds again, never a half-filled one that looks ready.
  Magic() = BBM_MAGIC;
  FlashError = FLASH_ERR_NONE;
  return 1;
}

uint32_t EraseSteps(uint32_t logicalPage) {
  if (!BbmMapReady()) {
    FlashError = FLASH_ERR_NO_BBT;
    return 0;
  }
  bool listBlock = (logicalPage >> NandChipGeometry().blockShift) == 0;
  uint32_t copyBlock = 0;
  if (listBlock) {
    // Without the list in hand the erase would take it with it; with the
    // power going before it is back, only the copy keeps it.
    uint32_t status = ListRead();
    if (!NandReadSucceeded(status)) return NandStatusResult(status);
    copyBlock = FreeCopyBlock();
    if (copyBlock != 0) CopySave(copyBlock);
  }
  uint32_t status = NandEraseBlock(logicalPage + BbmDelta(logicalPage));
  if (status == NAND_STATUS_BAD_BLOCK) {
    uint32_t replacement = 0;
    if (BbmReplaceBlock(logicalPage, &replacement, BBM_MOVE)) status = NAND_STATUS_OK;
  }
  if (listBlock) {
    uint32_t written = ListProgram();
    if (status == NAND_STATUS_OK) status = written;
    // The reserve block goes back as it was; a failed rewrite keeps the copy.
    if (written == NAND_STATUS_OK && copyBlock != 0) NandEraseBlock(FirstPage(copyBlock));
  }
  return NandStatusResult(status);
}

// Copies a page as the cells hold it, code bytes and all: a page that
// carries no code of its own, or one past repair, stays exactly that.
uint32_t CopyRaw(uint32_t from, uint32_t to) {
  uint32_t* spare = g_bbm.copy + NandChipGeometry().pageSize / WORD_BYTES;
  int ecc = NandSetEcc(0);
  uint32_t spareBytes = NandSpareBytes();
  uint32_t status = NandReadPage(g_bbm.copy, spare, spareBytes, from);
  if (status == NAND_STATUS_OK) status = NandProgramPage(g_bbm.copy, spare, spareBytes, to);
  NandSetEcc(ecc);
  return status;
}

// Copies the pages of `oldBlock` into the block in force for `block`, page
// for page. `failedPage` (the physical page whose programming failed) is left
// out: the caller programs it again at once. An erased page is left out as
// well (copying it would program it, and the next write there would program
// it twice): with correction on the controller calls it uncorrectable, and
// its data and spare bytes tell it from a damaged one. A page that reads
// clean or corrected is programmed anew with its code; any other goes raw.
uint32_t CopySteps(uint32_t block, uint32_t oldBlock, uint32_t failedPage) {
  const NandGeometry& geo = NandChipGeometry();
  uint32_t pageWords = geo.pageSize / WORD_BYTES;
  uint32_t* spare = g_bbm.copy + pageWords;
  uint32_t spareBytes = NandSpareBytes();
  bool ecc = NandEccEnabled();
  for (uint32_t i = 0; i < geo.pagesPerBlock;) {
    uint32_t from = oldBlock * geo.pagesPerBlock + i;
    uint32_t to = uint32_t{Map()[block]} * geo.pagesPerBlock + i;
    if (from == failedPage) {
      i++;
      continue;
    }
    uint32_t status = NandReadPage(g_bbm.copy, spare, spareBytes, from);
    if (status == NAND_STATUS_TIMEOUT) return 0;
    uint32_t flips = 0;
    bool erased = (status == NAND_STATUS_UNCORRECTABLE || !ecc) && NandDataBlank(g_bbm.copy, geo.pageSize, &flips) &&
                  AllErased(spare, spareBytes / WORD_BYTES);
    if (erased) {
      i++;
      continue;
    }
    status = NandReadSucceeded(status) ? NandProgramPage(g_bbm.copy, spare, spareBytes, to) : CopyRaw(from, to);
    if (status == NAND_STATUS_TIMEOUT) return 0;
    if (status == NAND_STATUS_BAD_BLOCK) {
      // The new block is bad too: take another and start over.
      uint32_t replacement = 0;
      if (!BbmReplaceBlock(block << geo.blockShift, &replacement, BBM_MOVE)) return 0;
      i = 0;
      continue;
    }
    i++;
  }
  return 1;
}

uint32_t MoveSteps(uint32_t block, uint32_t* replacement, uint32_t mode, uint32_t oldBlock, uint32_t failedPage) {
  uint32_t slot = 0;
  if (!BbmPickReplacement(block, replacement, &slot)) return 0;
  SetListField(EntryOffset(slot), static_cast<uint16_t>(block));
  SetListField(EntryOffset(slot) + BBM_LIST_REPLACEMENT_OFFSET, static_cast<uint16_t>(*replacement));
  Map()[block] = static_cast<uint16_t>(*replacement);  // seen by the other processes at once
  // Erases the new block; one that fails is moved on again.
  if (!BbmEraseBlock(block << NandChipGeometry().blockShift)) return 0;
  if (mode != BBM_MOVE_AND_COPY) return 1;
  int spare = NandSetSpare(1);
  uint32_t result = CopySteps(block, oldBlock, failedPage);
  NandSetSpare(spare);
  *replacement = Map()[block];
  return result;
}

uint32_t ReplaceSteps(uint32_t logicalPage, uint32_t* replacement, uint32_t mode) {
  const NandGeometry& geo = NandChipGeometry();
  // The block that holds the page: block 1 for logical page 63.
  uint32_t stored = StoredPage(logicalPage);
  uint32_t block = stored >> geo.blockShift;
  // Block 0 holds the list and is never moved.
  if (block == 0 || block >= geo.blockCount || !BbmMapReady()) return 0;
  uint32_t oldBlock = (stored + BbmDelta(stored)) >> geo.blockShift;
  uint32_t failedPage = BbmPhysicalPage(logicalPage);
  bool loadedHere = false;
  if (!g_bbm.listLoaded) {
    uint32_t status = ListRead();
    if (!NandReadSucceeded(status)) return NandStatusResult(status);
    if (!ListHasHeader()) {
      FlashError = FLASH_ERR_NO_BBT;
      return 0;
    }
    g_bbm.listLoaded = loadedHere = true;
  }
  uint32_t result = MoveSteps(block, replacement, mode, oldBlock, failedPage);
  if (loadedHere) {
    g_bbm.listLoaded = false;
    if (result != 0 && ListProgram() != NAND_STATUS_OK) result = 0;
  }
  return result;
}

}  // namespace

uint32_t BbmReserveBlocks(uint32_t blocks) { return BBM_RESERVE_PERCENT * blocks / PERCENT; }

bool BbmOpen() {
  if (g_bbm.view != nullptr) return true;
  HANDLE mapping =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, BBM_MAP_BYTES, BBM_MAP_NAME);
  if (mapping == nullptr) return false;
  // Exactly the map's size: a smaller section made by someone else fails
  // here instead of being used past its end.
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, BBM_MAP_BYTES);
  if (view == nullptr) {
    CloseHandle(mapping);
    return false;
  }
  g_bbm.mapping = mapping;
  g_bbm.view = static_cast<uint8_t*>(view);
  return true;
}

bool BbmMapReady() { return g_bbm.view != nullptr && Magic() == BBM_MAGIC; }

uint32_t BbmBuild() {
  uint32_t result = BuildSteps();
  NandRestoreControl();
  return result;
}

uint32_t BbmDelta(uint32_t logicalPage) {
  uint32_t shift = NandChipGeometry().blockShift;
  uint32_t block = logicalPage >> shift;
  if (g_bbm.view == nullptr || block >= BBM_MAX_BLOCKS) return 0;
  // Wraps below zero for a block moved downwards; the sum with the page does not.
  return (uint32_t{Map()[block]} - block) << shift;
}

uint32_t BbmPhysicalPage(uint32_t logicalPage) {
  if (logicalPage == BBM_UNSTORED_PAGE) return BBM_NO_PAGE;
  uint32_t stored = StoredPage(logicalPage);
  return stored + BbmDelta(stored);
}

uint32_t BbmEraseBlock(uint32_t logicalPage) {
  uint32_t result = EraseSteps(logicalPage);
  NandRestoreControl();
  return result;
}

uint32_t BbmReplaceBlock(uint32_t logicalPage, uint32_t* replacement, uint32_t mode) {
  uint32_t result = ReplaceSteps(logicalPage, replacement, mode);
  NandRestoreControl();
  return result;
}

uint32_t BbmPickReplacement(uint32_t block, uint32_t* replacement, uint32_t* slot) {
  uint32_t blocks = NandChipGeometry().blockCount;
  uint32_t firstReserved = blocks - BbmReserveBlocks(blocks);
  uint32_t n = EntryCount();
  // A new entry needs a slot of its own inside the page.
  if (n >= BBM_LIST_MAX_ENTRIES) {
    FlashError = FLASH_ERR_RESERVE_EXHAUSTED;
    return 0;
  }
  bool fixed = *replacement != 0;
  uint32_t candidate = fixed ? *replacement : blocks - 1;
  if (fixed && candidate >= blocks) return 0;
  uint32_t previous = BBM_NO_ENTRY;
  // Cancelled entries still hold their replacement: it stays used.
  for (uint32_t k = 0; k < n && candidate >= firstReserved;) {
    if (!EntryUsable(k)) {
      k++;
    } else if (EntryReplacement(k) == candidate) {
      if (fixed) return 0;
      candidate--;
      previous = BBM_NO_ENTRY;
      k = 0;
    } else {
      if (EntryLogical(k) == block) previous = k;
      k++;
    }
  }
  if (candidate < firstReserved) {
    FlashError = FLASH_ERR_RESERVE_EXHAUSTED;
    return 0;
  }
  if (previous != BBM_NO_ENTRY) SetListField(EntryOffset(previous), BBM_LIST_CANCELLED);
  *replacement = candidate;
  *slot = n;
  return 1;
}

void BbmResetForTests() {
  if (g_bbm.view != nullptr) UnmapViewOfFile(g_bbm.view);
  if (g_bbm.mapping != nullptr) CloseHandle(g_bbm.mapping);
  g_bbm = BbmState{};
}
