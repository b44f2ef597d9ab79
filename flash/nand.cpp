#include "flash/nand.h"

#include <algorithm>
#include <cstring>

#include "flash/hardware.h"
#include "flash/nand_bbm.h"
#include "flash/nand_controller.h"
#include "platform/threads.h"

namespace {

// The chip with two dies behind two chip selects is read at raised priority.
constexpr uint32_t NAND_CLASS_RAISED_READS = 3;
constexpr int NAND_READ_PRIORITY = 1;

// The boot ROM of part code 9 starts only an image that carries this word
// in its bytes 4-7.
constexpr uint32_t NAND_PART_CODE_BOOT_MARKER = 9;
constexpr uint32_t NAND_BOOT_MARKER = 0x54494D48;
constexpr uint32_t NAND_BOOT_MARKER_OFFSET = 4;

constexpr uint32_t WORD_BYTES = 4;
constexpr uint32_t BITS_PER_BYTE = 8;
constexpr uint8_t ERASED_BYTE = 0xFF;

struct NandState {
  bool ready = false;  // NandInit succeeded: the geometry and the map can be used
  uint32_t chipClass = 0;
  uint32_t partCode = 0;
  // A partial first or last page on its way to or from the chip.
  uint32_t bounce[NAND_MAX_PAGE_BYTES / WORD_BYTES] = {};
  // A page read again without correction, with its whole spare area.
  uint32_t raw[(NAND_MAX_PAGE_BYTES + NAND_MAX_SPARE_BYTES) / WORD_BYTES] = {};
};

NandState g_nand;

uint8_t* BounceBytes() { return reinterpret_cast<uint8_t*>(g_nand.bounce); }

bool WordAligned(const void* p) { return reinterpret_cast<uintptr_t>(p) % alignof(uint32_t) == 0; }

// Refuses the operation before it starts: the driver is not up, the map is
// not built or the range does not lie inside the flash (computed wide, so it
// cannot wrap). 0 with FlashError set, 1 to go on.
uint32_t Usable(uint32_t offset, uint32_t length) {
  if (g_nand.ready && !BbmMapReady()) {
    FlashError = FLASH_ERR_NO_BBT;
    return 0;
  }
  if (!g_nand.ready || uint64_t{offset} + length > FlashSize) {
    FlashError = FLASH_ERR_TIMEOUT;
    return 0;
  }
  return 1;
}

bool AllErased(const uint8_t* bytes, uint32_t count) {
  return std::all_of(bytes, bytes + count, [](uint8_t b) { return b == ERASED_BYTE; });
}

// Puts the boot marker where it lands on flash bytes 4-7, in the caller's
// buffer too: the library compares what it wrote against that buffer.
// Byte by byte, so a write that starts inside the word or ends inside it
// carries exactly its share of the marker.
void PutBootMarker(uint8_t* source, uint32_t offset, uint32_t length) {
  uint64_t end = uint64_t{offset} + length;
  if (offset > NAND_BOOT_MARKER_OFFSET || end <= NAND_BOOT_MARKER_OFFSET) return;
  for (uint32_t i = 0; i < WORD_BYTES && NAND_BOOT_MARKER_OFFSET + i < end; i++) {
    source[NAND_BOOT_MARKER_OFFSET + i - offset] = static_cast<uint8_t>(NAND_BOOT_MARKER >> (BITS_PER_BYTE * i));
  }
}

// A page the controller called uncorrectable, as real drivers judge it: an
// erased page (weak bits and all) reads erased; a page that carries no whole
// code (programmed without correction, or a step the module's OS programmed
// twice) is taken as read, as the module's OS takes it; anything else has
// more bit errors than its code repairs.
uint32_t JudgeUncorrectable(uint32_t* data, uint32_t physical) {
  uint32_t pageBytes = NandChipGeometry().pageSize;
  uint32_t flips = 0;
  if (NandDataBlank(data, pageBytes, &flips)) {
    std::memset(data, ERASED_BYTE, pageBytes);
    return flips != 0 ? NAND_STATUS_CORRECTED : NAND_STATUS_OK;
  }
  int ecc = NandSetEcc(0);
  int spare = NandSetSpare(1);
  uint32_t* rawSpare = g_nand.raw + pageBytes / WORD_BYTES;
  uint32_t status = NandReadPage(g_nand.raw, rawSpare, NAND_MAX_SPARE_BYTES, physical);
  NandSetSpare(spare);
  NandSetEcc(ecc);
  if (status != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  return NandCodesAbsent(rawSpare) ? NAND_STATUS_OK : NAND_STATUS_UNCORRECTABLE;
}

uint32_t ReadSteps(uint8_t* out, uint32_t offset, uint32_t length) {
  if (!Usable(offset, length)) return 0;
  const NandGeometry& geo = NandChipGeometry();
  uint32_t page = offset >> geo.pageShift;
  uint32_t inPage = offset & (geo.pageSize - 1);
  uint32_t status = NAND_STATUS_OK;
  while (length != 0) {
    uint32_t chunk = std::min(geo.pageSize - inPage, length);
    bool direct = chunk == geo.pageSize && WordAligned(out);
    uint32_t physical = BbmPhysicalPage(page);
    if (physical == BBM_NO_PAGE) {
      // The page block 0 gave to the list holds nothing: it reads erased.
      std::memset(out, ERASED_BYTE, chunk);
    } else {
      uint32_t* target = direct ? reinterpret_cast<uint32_t*>(out) : g_nand.bounce;
      status = NandReadPage(target, nullptr, 0, physical);
      if (status == NAND_STATUS_UNCORRECTABLE) status = JudgeUncorrectable(target, physical);
      if (!NandReadSucceeded(status)) break;
      if (!direct) std::memcpy(out, BounceBytes() + inPage, chunk);
    }
    inPage = 0;
    length -= chunk;
    out += chunk;
    page++;
  }
  return NandStatusResult(status);
}

// Programs one logical page, moving its block into the reserve for as long
// as the chip reports a failure; each move uses up a reserve block, so this
// ends.
uint32_t ProgramLogicalPage(const uint32_t* from, uint32_t page) {
  uint32_t physical = BbmPhysicalPage(page);
  if (physical == BBM_NO_PAGE) {
    // Nothing can be stored there: erased data is already what it holds,
    // anything else would be lost without a word.
    return AllErased(reinterpret_cast<const uint8_t*>(from), NandChipGeometry().pageSize) ? NAND_STATUS_OK
                                                                                           : NAND_STATUS_TIMEOUT;
  }
  uint32_t status = NandProgramPage(from, nullptr, 0, physical);
  while (status == NAND_STATUS_BAD_BLOCK) {
    uint32_t replacement = 0;
    if (!BbmReplaceBlock(page, &replacement, BBM_MOVE_AND_COPY)) return NAND_STATUS_BAD_BLOCK;
    status = NandProgramPage(from, nullptr, 0, BbmPhysicalPage(page));
  }
  return status;
}

uint32_t WriteSteps(uint8_t* in, uint32_t offset, uint32_t length) {
  if (!Usable(offset, length)) return 0;
  if (g_nand.partCode == NAND_PART_CODE_BOOT_MARKER) PutBootMarker(in, offset, length);
  const NandGeometry& geo = NandChipGeometry();
  uint32_t page = offset >> geo.pageShift;
  uint32_t inPage = offset & (geo.pageSize - 1);
  uint32_t status = NAND_STATUS_OK;
  while (length != 0) {
    uint32_t chunk = std::min(geo.pageSize - inPage, length);
    const uint32_t* from = reinterpret_cast<const uint32_t*>(in);
    if (chunk != geo.pageSize || !WordAligned(in)) {
      std::memset(g_nand.bounce, ERASED_BYTE, geo.pageSize);
      std::memcpy(BounceBytes() + inPage, in, chunk);
      from = g_nand.bounce;
    }
    status = ProgramLogicalPage(from, page);
    if (status != NAND_STATUS_OK) break;
    inPage = 0;
    length -= chunk;
    in += chunk;
    page++;
  }
  return NandStatusResult(status);
}

uint32_t EraseSteps(uint32_t offset, uint32_t length) {
  if (!Usable(0, 0)) return 0;
  const NandGeometry& geo = NandChipGeometry();
  uint32_t b = geo.blockBytes;
  uint32_t start = offset - offset % b;
  uint64_t total = (uint64_t{length} + offset % b + b - 1) / b * b;
  if (start + total > FlashSize) {
    FlashError = FLASH_ERR_TIMEOUT;
    return 0;
  }
  FlashEraseProgress progress = FlashEraseProgressStart(static_cast<uint32_t>(total));
  for (uint64_t done = 0; done < total; done += b) {
    if (!FlashEraseProgressBeforeBlock(&progress)) {
      FlashError = FLASH_ERR_TIMEOUT;
      return 0;
    }
    if (!BbmEraseBlock(start >> geo.pageShift)) return 0;
    start += b;
    progress.done += b;
  }
  return NandStatusResult(NAND_STATUS_OK);
}

uint32_t InitSteps() {
  g_nand.ready = false;
  g_nand.chipClass = 0;
  if (!BbmOpen()) {
    FlashError = FLASH_ERR_TIMEOUT;
    return 0;
  }
  // Whoever finds no map is the first on the chip: it sets the controller
  // up and builds the map; a later one adopts both.
  bool full = !BbmMapReady();
  uint32_t status = NandControllerInit(full);
  if (status != NAND_STATUS_OK) return NandStatusResult(status);
  uint32_t id = 0;
  status = NandReadId(&id);
  NandRestoreControl();
  if (status != NAND_STATUS_OK) return NandStatusResult(status);
  g_nand.chipClass = NandChipClassOf(id);
  if (g_nand.chipClass == 0) return NandStatusResult(NAND_STATUS_UNKNOWN_CHIP);
  const NandGeometry& geo = NandChipGeometry();
  FlashSize = (geo.blockCount - BbmReserveBlocks(geo.blockCount)) * geo.blockBytes;
  g_nand.partCode = CpuPartCode();
  NandSetEcc(1);
  NandSetSpare(1);
  if (full && !BbmBuild()) return 0;
  g_nand.ready = true;
  return NandStatusResult(NAND_STATUS_OK);
}

uint32_t NandRead(uint32_t* destination, uint32_t offset, uint32_t length) {
  HANDLE thread = GetCurrentThread();
  int priority = g_nand.chipClass == NAND_CLASS_RAISED_READS ? CeGetThreadPriority(thread)
                                                               : THREAD_PRIORITY_ERROR_RETURN;
  bool raised = priority != THREAD_PRIORITY_ERROR_RETURN && CeSetThreadPriority(thread, NAND_READ_PRIORITY);
  uint32_t result = ReadSteps(reinterpret_cast<uint8_t*>(destination), offset, length);
  NandRestoreControl();
  if (raised) CeSetThreadPriority(thread, priority);
  return result;
}

uint32_t NandWrite(const uint32_t* source, uint32_t offset, uint32_t length) {
  // The source is the caller's own buffer; only the boot marker is put into it.
  uint32_t result = WriteSteps(reinterpret_cast<uint8_t*>(const_cast<uint32_t*>(source)), offset, length);
  NandRestoreControl();
  return result;
}

uint32_t NandWriteWord(uint32_t offset, uint32_t value) { return NandWrite(&value, offset, WORD_BYTES); }

uint32_t NandReadWord(uint32_t offset) {
  uint32_t word = 0;
  NandRead(&word, offset, WORD_BYTES);
  return word;
}

uint32_t NandErase(uint32_t offset, uint32_t length) {
  uint32_t result = EraseSteps(offset, length);
  NandRestoreControl();
  return result;
}

uint32_t NandBlockSize(uint32_t) { return NandChipGeometry().blockBytes; }

uint32_t NandPageSize() { return NandChipGeometry().pageSize; }

}  // namespace

uint32_t NandInit() {
  uint32_t result = InitSteps();
  NandRestoreControl();
  return result;
}

void NandFillOps(FlashOpsTable* ops) {
  *ops = FlashOpsTable{NandErase, NandWrite, NandWriteWord, NandRead, NandReadWord, NandBlockSize, NandPageSize,
                       NandSetEcc};
}

uint32_t NandChipClass() { return g_nand.chipClass; }

void NandResetForTests() {
  g_nand = NandState{};
  BbmResetForTests();
  NandControllerResetForTests();
}
