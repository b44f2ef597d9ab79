// The module OS's logical NAND flash: byte ranges turned into page and block
// operations of the chip, addressed through the block map. Its users (the
// persistent registry, the flash disk) write NOR-style: any part of a page,
// one word at a time, clearing bits of what is there. So the driver keeps
// the controller's code per 512-byte step, as a driver that writes parts of
// pages does: a step gets its code with its first program, and a step
// programmed again has its code voided (a code only loses bits, so the old
// one cannot turn into the new one). Reads check every step that has a code.
#include <algorithm>
#include <cstring>
#include <new>

#include "module/flash_lock.h"
#include "module/nand_ecc.h"
#include "module/nand_model.h"
#include "module/nand_os_driver.h"

struct NandOsFlash {
  Module module;
  NandModel* model = nullptr;
  const NandChipType* chip = nullptr;
  NandBlockMap map;
  uint8_t bounce[kNandPageBytes];
  uint8_t spare[kNandSpareBytes];
  uint8_t record[kNandPageRecordBytes];  // a page as the cells hold it
};

namespace {

constexpr uint8_t kErasedByte = 0xFF;

NandOsFlash* Of(void* ctx) { return static_cast<NandOsFlash*>(ctx); }

uint32_t UsableBytes(const NandOsFlash* f) { return NandUsableBytes(f->chip); }

bool Usable(const NandOsFlash* f, uint32_t offset, uint32_t length) {
  uint32_t size = UsableBytes(f);
  return NandBlockMapBuilt(f->map) && offset <= size && length <= size - offset;
}

bool ReadOk(NandResult r) { return r != NandResult::Failed && r != NandResult::NotReady; }

bool AllErased(const uint8_t* bytes, uint32_t length) {
  return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == kErasedByte; });
}

uint8_t* CodeOf(uint8_t* record, uint32_t step) {
  return record + kNandPageBytes + kNandEccCodeOffset + step * kNandEccStepCodeBytes;
}

// A step that was never programmed: erased data (a weak cell may read one
// bit cleared) and an erased code.
bool StepErased(uint8_t* record, uint32_t step) {
  uint32_t flips = 0;
  return NandEccBlank(record + step * kNandEccStepBytes, kNandEccStepBytes, &flips) &&
         AllErased(CodeOf(record, step), kNandEccStepCodeBytes);
}

// Checks the page record just read, step by step, and repairs what the code
// repairs. A page without any code was written before the driver kept codes
// (or is erased: weak bits and all read erased): it is taken as read; so is
// a step whose code was voided or is still to come, its records carry their
// own checks.
NandResult CheckRecord(uint8_t* record) {
  uint32_t flips = 0;
  if (NandEccCodesErased(record + kNandPageBytes + kNandEccCodeOffset)) {
    if (!NandEccBlank(record, kNandPageBytes, &flips)) return NandResult::Ok;
    std::memset(record, kErasedByte, kNandPageBytes);
    return flips != 0 ? NandResult::Corrected : NandResult::Ok;
  }
  NandResult result = NandResult::Ok;
  for (uint32_t s = 0; s < kNandEccSteps; s++) {
    uint8_t* step = record + s * kNandEccStepBytes;
    const uint8_t* code = CodeOf(record, s);
    if (NandEccStepVoided(code)) continue;
    if (AllErased(code, kNandEccStepCodeBytes)) {
      // Not coded yet (its front is still to come), or never written.
      if (NandEccBlank(step, kNandEccStepBytes, &flips)) std::memset(step, kErasedByte, kNandEccStepBytes);
      if (flips != 0) result = NandResult::Corrected;
      continue;
    }
    NandEccResult r = NandEccCorrectStep(step, code);
    if (r == NandEccResult::Uncorrectable) return NandResult::Uncorrectable;
    if (r == NandEccResult::Corrected) result = NandResult::Corrected;
  }
  return result;
}

// The page's data, checked; false when the chip did not answer or a step
// holds more bit errors than its code repairs.
bool ReadChecked(NandOsFlash* f, uint32_t physical) {
  NandResult r = NandModelReadPage(f->model, physical, f->record, f->record + kNandPageBytes, false);
  return ReadOk(r) && CheckRecord(f->record) != NandResult::Uncorrectable;
}

bool ReadListPage(NandOsFlash* f, uint8_t list[kNandPageBytes]) { return NandOsReadListPage(f->model, list); }

bool ProgramListPage(NandOsFlash* f, const uint8_t list[kNandPageBytes]) {
  return NandModelProgramPage(f->model, kNandListPage, list, nullptr, 0, false) == NandResult::Ok;
}

bool BuildPrivateMap(NandOsFlash* f, std::string* error) {
  if (!NandBlockMapOpenPrivate(&f->map, error)) return false;
  uint8_t list[kNandPageBytes];
  if (!ReadListPage(f, list) || !NandBlockMapBuild(&f->map, list, f->chip->blocks)) {
    *error = kNandListUnusable;
    return false;
  }
  return true;
}

bool Read(void* ctx, uint32_t offset, void* out, uint32_t length) {
  NandOsFlash* f = Of(ctx);
  if (!Usable(f, offset, length)) return false;
  auto* dst = static_cast<uint8_t*>(out);
  for (uint64_t at = offset, end = uint64_t{offset} + length; at < end;) {
    uint32_t logical = static_cast<uint32_t>(at / kNandPageBytes);
    uint32_t column = static_cast<uint32_t>(at % kNandPageBytes);
    uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(kNandPageBytes - column, end - at));
    uint32_t physical = 0;
    if (logical == kNandPagelessLogicalPage) {
      std::memset(dst, kErasedByte, chunk);
    } else {
      if (!NandPhysicalPage(f->map, f->chip, logical, &physical)) return false;
      if (!ReadChecked(f, physical)) return false;
      std::memcpy(dst, f->record + column, chunk);
    }
    dst += chunk;
    at += chunk;
  }
  return true;
}

enum class StepCoding : uint8_t { None, Code, Void };

// What a step's code becomes with this program. A step is coded once: with
// its first program, or, when that one started past the step's first byte
// (a NOR-style writer fills its records' fronts, their commit marks, last),
// with the program that follows it. A step programmed after it has its code
// voided.
StepCoding CodeStep(NandOsFlash* f, uint32_t step, uint32_t column, uint8_t code[kNandEccStepCodeBytes]) {
  uint32_t first = step * kNandEccStepBytes;
  const uint8_t* stored = CodeOf(f->record, step);
  if (StepErased(f->record, step)) {
    if (column > first) return StepCoding::None;
    NandEccStep(f->bounce + first, code);
    return StepCoding::Code;
  }
  if (AllErased(stored, kNandEccStepCodeBytes)) {
    // What the cells will hold: only bits the program clears change.
    uint8_t merged[kNandEccStepBytes];
    for (uint32_t i = 0; i < kNandEccStepBytes; i++) merged[i] = f->record[first + i] & f->bounce[first + i];
    NandEccStep(merged, code);
    return StepCoding::Code;
  }
  return NandEccStepVoided(stored) ? StepCoding::None : StepCoding::Void;
}

// Programs `chunk` bytes at `column` of a page, with erased bytes around
// them so that those cells stay as they are, and the codes of the steps it
// reaches. Codes to void go first, in a program of their own: a power cut
// in the data's program (which reaches the spare bytes last) must not leave
// changed data under a code that still looks valid.
bool ProgramPart(NandOsFlash* f, uint32_t physical, uint32_t column, const uint8_t* src, uint32_t chunk) {
  if (!ReadOk(NandModelReadPage(f->model, physical, f->record, f->record + kNandPageBytes, false))) return false;
  std::memset(f->bounce, kErasedByte, kNandPageBytes);
  std::memcpy(f->bounce + column, src, chunk);
  std::memset(f->spare, kErasedByte, kNandSpareBytes);
  uint8_t voids[kNandSpareBytes];
  std::memset(voids, kErasedByte, kNandSpareBytes);
  bool voiding = false;
  for (uint32_t s = column / kNandEccStepBytes; s * kNandEccStepBytes < column + chunk; s++) {
    uint32_t at = kNandEccCodeOffset + s * kNandEccStepCodeBytes;
    StepCoding coding = CodeStep(f, s, column, f->spare + at);
    if (coding != StepCoding::Void) continue;
    std::memset(f->spare + at, kErasedByte, kNandEccStepCodeBytes);
    std::memset(voids + at, kNandEccVoidByte, kNandEccStepCodeBytes);
    voiding = true;
  }
  if (voiding && NandModelProgramPage(f->model, physical, nullptr, voids, kNandSpareBytes, false) != NandResult::Ok) {
    return false;
  }
  return NandModelProgramPage(f->model, physical, f->bounce, f->spare, kNandSpareBytes, false) == NandResult::Ok;
}

bool Program(void* ctx, uint32_t offset, const void* data, uint32_t length) {
  NandOsFlash* f = Of(ctx);
  if (!Usable(f, offset, length)) return false;
  const auto* src = static_cast<const uint8_t*>(data);
  for (uint64_t at = offset, end = uint64_t{offset} + length; at < end;) {
    uint32_t logical = static_cast<uint32_t>(at / kNandPageBytes);
    uint32_t column = static_cast<uint32_t>(at % kNandPageBytes);
    uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(kNandPageBytes - column, end - at));
    uint32_t physical = 0;
    // The page without a place is skipped and counts as written, as the
    // update program's driver does.
    if (logical != kNandPagelessLogicalPage) {
      if (!NandPhysicalPage(f->map, f->chip, logical, &physical)) return false;
      if (!ProgramPart(f, physical, column, src, chunk)) return false;
    }
    src += chunk;
    at += chunk;
  }
  return true;
}

// Moves logical block `block` into the reserve: the list page records it
// before the map sends anything there.
bool MoveBlock(NandOsFlash* f, uint32_t block, uint32_t* physical) {
  uint8_t list[kNandPageBytes];
  uint16_t replacement = 0;
  if (!ReadListPage(f, list) || !NandListHasHeader(list) ||
      !NandListMove(list, f->chip->blocks, static_cast<uint16_t>(block), &replacement) || !ProgramListPage(f, list)) {
    return false;
  }
  NandBlockMapSet(&f->map, block, replacement);
  *physical = replacement;
  return true;
}

// Block 0 is never moved, and erasing it keeps the list page it holds.
bool EraseBootBlock(NandOsFlash* f) {
  uint8_t list[kNandPageBytes];
  if (!ReadListPage(f, list)) return false;
  bool erased = NandModelEraseBlock(f->model, 0) == NandResult::Ok;
  bool kept = ProgramListPage(f, list);
  return erased && kept;
}

bool EraseBlock(NandOsFlash* f, uint32_t block) {
  if (block == 0) return EraseBootBlock(f);
  uint32_t physical = NandBlockMapGet(f->map, block);
  if (physical >= f->chip->blocks) return false;
  NandResult r = NandModelEraseBlock(f->model, physical);
  // Each move uses up a block of the reserve, so this ends.
  while (r == NandResult::Failed) {
    if (!MoveBlock(f, block, &physical)) return false;
    r = NandModelEraseBlock(f->model, physical);
  }
  return r == NandResult::Ok;
}

bool Erase(void* ctx, uint32_t offset, uint32_t length) {
  NandOsFlash* f = Of(ctx);
  if (!Usable(f, offset, length)) return false;
  if (length == 0) return true;
  uint32_t first = offset / kNandBlockBytes;
  uint32_t last = static_cast<uint32_t>((uint64_t{offset} + length - 1) / kNandBlockBytes);
  for (uint32_t block = first; block <= last; block++) {
    if (!EraseBlock(f, block)) return false;
  }
  return true;
}

uint32_t Size(void* ctx) { return UsableBytes(Of(ctx)); }

uint32_t BlockSize(void* ctx, uint32_t offset) { return offset < UsableBytes(Of(ctx)) ? kNandBlockBytes : 0; }

// The module goes down: the controller loses its set-up and the shared map
// is gone; the next start of the OS driver builds both again. Until this
// process ends, it reads the flash as the module's boot does, through a map
// of its own built from the list page.
bool Restart(void* ctx, std::string* error) {
  NandOsFlash* f = Of(ctx);
  // The shared map changes only under the flash lock, for every user of it.
  NamedMutex* held = ModuleFlashLock(f->module, error);
  if (held == nullptr) return false;
  std::string shmDir = ModuleShmPath(f->module.dir);
  NandModelPowerOff(shmDir);
  NandBlockMapClose(&f->map);
  bool ok = NandBlockMapDropShared(shmDir, error) && BuildPrivateMap(f, error);
  ModuleFlashUnlock(held);
  return ok;
}

// The cells are the flash's only state that a read depends on: the map
// moves a block only after the list page (in the cells) records the move.
bool Changes(void* ctx, uint64_t* count) { return NandModelCellChanges(Of(ctx)->model, count); }

const ModuleFlashOps kNandOsFlashOps = {Read, Program, Erase, Size, BlockSize, Restart, Changes};

NandOsFlash* NewFlash(const Module& module, NandModel* model, std::string* error) {
  auto* f = new (std::nothrow) NandOsFlash;
  if (f == nullptr) {
    *error = "out of memory";
    return nullptr;
  }
  f->module = module;
  f->model = model;
  f->chip = NandModelChip(model);
  return f;
}

}  // namespace

NandOsFlash* NandOsFlashOpen(const Module& module, NandModel* model, std::string* error) {
  NandOsFlash* f = NewFlash(module, model, error);
  if (f != nullptr && !NandBlockMapOpenShared(ModuleShmPath(module.dir), &f->map, error)) {
    NandOsFlashClose(f);
    return nullptr;
  }
  return f;
}

NandOsFlash* NandOsFlashOpenView(const Module& module, NandModel* model, std::string* error) {
  NandOsFlash* f = NewFlash(module, model, error);
  if (f == nullptr) return nullptr;
  bool built = false;
  if (!NandBlockMapOpenIfBuilt(ModuleShmPath(module.dir), &f->map, &built, error) ||
      (!built && !BuildPrivateMap(f, error))) {
    NandOsFlashClose(f);
    return nullptr;
  }
  return f;
}

void NandOsFlashClose(NandOsFlash* flash) {
  if (flash == nullptr) return;
  NandBlockMapClose(&flash->map);
  delete flash;
}

ModuleFlash NandOsFlashAccess(NandOsFlash* flash) { return ModuleFlash{&kNandOsFlashOps, flash}; }

