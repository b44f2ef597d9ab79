#include "module/nand_model.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "module/flash_log.h"
#include "module/nand_array.h"
#include "module/nand_chip.h"
#include "module/nand_controller.h"
#include "module/nand_ecc.h"
#include "module/nand_faults.h"
#include "module/nand_timing.h"
#include "module/nor_model.h"
#include "module/object_name.h"
#include "module/shared_memory.h"

static_assert(kNandPowerCutExitCode == kNorPowerCutExitCode, "a power cut ends a process alike on every board");
static_assert(kNandEccSpareBytes == kNandEccCodeOffset);

namespace {

constexpr uint32_t kMaxDies = 2;
constexpr char16_t kSetupName[] = u"nand-controller";
// The block the controller's set-up lives in; the set-up is only its start.
constexpr uint64_t kSetupBlockBytes = 4096;
constexpr uint8_t kErasedByte = 0xFF;
constexpr uint32_t kByteBits = 8;
// The slowest set-up the timing registers can hold: sane for any chip.
constexpr uint32_t kSlowestTiming0 = 0x003F3F3F;
constexpr uint32_t kSlowestTiming1 = 0xFFFF00FF;
constexpr uint32_t kFastClockPartCodes[] = {8, 9};

}  // namespace

struct NandModel {
  NandArray array;
  NandFaults faults;
  NandPowerCut cut;
  NandChip chips[kMaxDies];
  uint32_t dies = 0;
  NandController controller;
  SharedMemory setupMemory;
  NandControllerSetup* setup = nullptr;
  bool neverReady = false;
  FlashLog log;
  uint8_t scratch[kNandPageRecordBytes] = {};
};

namespace {

[[noreturn]] void PowerCut(NandModel* m) {
  uint64_t now = NandMonotonicNs();
  for (uint32_t i = 0; i < m->dies; i++) NandChipPowerCut(&m->chips[i], now);
  std::fprintf(stderr, "flash: power cut after %" PRIu64 " flash commands, %" PRIu64 " us busy\n", m->cut.commands,
               m->cut.busyUs);
  ::_exit(kNandPowerCutExitCode);
}

uint32_t ClockMhz(uint32_t partCode) {
  for (uint32_t code : kFastClockPartCodes) {
    if (code == partCode) return kNandClockMhzFast;
  }
  return kNandClockMhz;
}

bool OpenSetup(NandModel* m, const std::string& shmDir, std::string* error) {
  bool existed = false;
  if (!SharedMemoryOpen(shmDir, kSetupName, kSetupBlockBytes, &existed, &m->setupMemory, error)) return false;
  if (m->setupMemory.size < sizeof(NandControllerSetup)) {
    *error = "the NAND controller's shared memory is too small";
    return false;
  }
  void* view = SharedMemoryMap(m->setupMemory, 0, sizeof(NandControllerSetup), true, error);
  if (view == nullptr) return false;
  // A new block is zero-filled: the reset state of the registers.
  m->setup = static_cast<NandControllerSetup*>(view);
  return true;
}

void SetUpDies(NandModel* m, const ModuleConfig& config) {
  const NandChipType* type = m->array.chip;
  uint32_t pages = NandChipPages(type);
  uint32_t split = type->secondSelectPage != 0 ? type->secondSelectPage : pages;
  m->dies = type->secondSelectPage != 0 ? kMaxDies : 1;
  for (uint32_t i = 0; i < m->dies; i++) {
    NandChip& die = m->chips[i];
    die.type = type;
    die.array = &m->array;
    die.faults = &m->faults;
    die.cut = &m->cut;
    die.firstPage = i == 0 ? 0 : split;
    die.pages = i == 0 ? split : pages - split;
    die.realistic = config.timing == ModuleTiming::Realistic;
    NandChipPowerUp(&die);
  }
  NandController& c = m->controller;
  c.setup = m->setup;
  c.chips[0] = &m->chips[0];
  c.chips[1] = m->dies > 1 ? &m->chips[1] : nullptr;
  c.cut = &m->cut;
  c.clockMhz = ClockMhz(config.cpuPartCode);
  c.neverReady = config.faultNeverReady;
  NandControllerPowerUp(&c);
}

// ---- The bus side ----

uint32_t BusRead32(void* device, uint32_t offset) {
  return NandControllerRead(&static_cast<NandModel*>(device)->controller, offset);
}

void BusWrite32(void* device, uint32_t offset, uint32_t value) {
  auto* m = static_cast<NandModel*>(device);
  bool idleBefore = NandControllerIdle(&m->controller);
  NandControllerWrite(&m->controller, offset, value);
  if (m->cut.due) PowerCut(m);
  if (FlashLogOn(m->log)) {
    uint8_t flags = FlashLogFlags(idleBefore, NandControllerIdle(&m->controller));
    FlashLogAppend(&m->log, FlashLogDevice::NandController, offset, &value, 1, flags);
  }
}

// The data buffer is one register, not a memory range: no block reads.
const BusDeviceOps kOps = {BusRead32, BusWrite32, nullptr};

// ---- The chip as the module's own driver reaches it ----

// The die holding `page` and the page's row on it; null for a page the chip lacks.
NandChip* DieOf(NandModel* m, uint32_t page, uint32_t* row) {
  for (uint32_t i = 0; i < m->dies; i++) {
    NandChip* die = &m->chips[i];
    if (page >= die->firstPage && page - die->firstPage < die->pages) {
      *row = page - die->firstPage;
      return die;
    }
  }
  return nullptr;
}

void SendRow(NandChip* die, uint32_t row) {
  for (uint32_t i = 0; i < die->type->rowCycles; i++) {
    NandChipAddress(die, static_cast<uint8_t>(row >> (kByteBits * i)));
  }
}

void SendPageAddress(NandChip* die, uint32_t row) {
  for (uint32_t i = 0; i < kNandColumnCycles; i++) NandChipAddress(die, 0);
  SendRow(die, row);
}

// Counts a command; false when the model is not to run it. Each command of
// the module's own driver runs whole within one call: it is logged as one write.
bool BeginCommand(NandModel* m, uint8_t command, uint32_t pageOrBlock) {
  if (!NandPowerCutCommand(&m->cut)) PowerCut(m);
  if (FlashLogOn(m->log)) {
    uint32_t value = command;
    FlashLogAppend(&m->log, FlashLogDevice::NandChip, pageOrBlock, &value, 1, FlashLogFlags(true, true));
  }
  return !m->neverReady;
}

// Waits out the datasheet time in realistic timing; cuts the power where the
// busy budget ran out.
void WaitReady(NandModel* m, NandChip* die) {
  if (m->cut.due) PowerCut(m);
  while (!NandChipReady(die)) {
    uint64_t now = NandMonotonicNs();
    uint64_t until = NandChipBusyUntil(die);
    if (until <= now) continue;
    struct timespec pause = {static_cast<time_t>((until - now) / 1000000000u),
                             static_cast<long>((until - now) % 1000000000u)};
    ::nanosleep(&pause, nullptr);
  }
}

NandResult StatusResult(NandChip* die) {
  NandChipCommand(die, kNandCmdReadStatus);
  uint8_t status = 0;
  NandChipReadData(die, &status, 1);
  return (status & kNandStatusFail) != 0 ? NandResult::Failed : NandResult::Ok;
}

}  // namespace

bool NandModelCheckConfig(const ModuleConfig& config, std::string* error) {
  const NandChipType* chip = NandChipTypeOf(config.nandChipId);
  if (chip == nullptr) {
    char text[120];
    std::snprintf(text, sizeof text, "no NAND chip has the identification 0x%04" PRIX32, config.nandChipId);
    *error = text;
    return false;
  }
  NandFaults faults;
  return NandFaultsLoad(config, chip, &faults, error);
}

NandModel* NandModelOpen(const std::string& flashPath, const std::string& shmDir, const ModuleConfig& config,
                         std::string* error) {
  if (!NandModelCheckConfig(config, error)) return nullptr;
  const NandChipType* type = NandChipTypeOf(config.nandChipId);
  auto* m = new (std::nothrow) NandModel;
  if (m == nullptr) {
    *error = "out of memory for the NAND flash model";
    return nullptr;
  }
  NandFaultsLoad(config, type, &m->faults, error);
  if (!NandArrayOpen(flashPath, type, &m->array, error) || !NandArrayCountChanges(&m->array, shmDir, error) ||
      !OpenSetup(m, shmDir, error) || !FlashLogOpen(config.traceFlashLog, flashPath, &m->log, error)) {
    NandModelClose(m);
    return nullptr;
  }
  m->cut.afterCommands = config.faultPowerCutAfter;
  m->cut.afterBusyUs = config.faultPowerCutBusyUs;
  m->neverReady = config.faultNeverReady;
  SetUpDies(m, config);
  return m;
}

void NandModelClose(NandModel* model) {
  if (model == nullptr) return;
  for (uint32_t i = 0; i < model->dies; i++) NandChipFinish(&model->chips[i]);
  if (model->setup != nullptr) SharedMemoryUnmap(model->setup, sizeof(NandControllerSetup));
  SharedMemoryClose(&model->setupMemory);
  NandArrayClose(&model->array);
  FlashLogClose(&model->log);
  delete model;
}

void NandModelPowerOff(const std::string& shmDir) {
  // Views still open keep the old block; the next power-up finds none.
  ::unlink((shmDir + "/" + ModuleObjectFileName(kSetupName)).c_str());
}

void NandModelOsDriverSetUp(NandModel* model) {
  NandControllerSetup* s = model->setup;
  if (s->control != 0) return;
  s->timing0 = kSlowestTiming0;
  s->timing1 = kSlowestTiming1;
  s->control = model->array.chip->controlBits | kNandControlInterruptMasks;
}

const BusDeviceOps* NandModelBusOps() { return &kOps; }
const NandChipType* NandModelChip(const NandModel* model) { return model->array.chip; }

bool NandModelCellChanges(const NandModel* model, uint64_t* count) {
  return NandArrayChanges(&model->array, count);
}

NandCounters NandModelCounters(const NandModel* model) {
  const NandControllerCounters& c = model->controller.counters;
  NandCounters out;
  out.commandsStarted = model->cut.commands;
  out.busyUs = model->cut.busyUs;
  out.unknownCommands = c.unknownCommands;
  out.refusedCommands = c.refusedCommands;
  out.insaneTimings = c.insaneTimings;
  out.strayAccesses = c.strayAccesses;
  for (uint32_t i = 0; i < model->dies; i++) {
    out.unknownCommands += model->chips[i].unknownCommands;
    out.refusedCommands += model->chips[i].refusedCommands;
    out.ignoredWhileBusy += model->chips[i].ignoredWhileBusy;
  }
  return out;
}

NandResult NandModelReadPage(NandModel* model, uint32_t page, uint8_t* data, uint8_t* spare, bool ecc) {
  uint32_t row = 0;
  NandChip* die = DieOf(model, page, &row);
  if (die == nullptr) return NandResult::Failed;
  if (!BeginCommand(model, kNandCmdRead, page)) return NandResult::NotReady;
  NandChipCommand(die, kNandCmdRead);
  SendPageAddress(die, row);
  NandChipCommand(die, kNandCmdReadConfirm);
  WaitReady(model, die);
  uint8_t* record = model->scratch;
  NandChipReadData(die, record, kNandPageRecordBytes);
  NandResult result = NandResult::Ok;
  if (ecc) {
    NandEccResult r = NandEccCorrectPage(record, record + kNandPageBytes + kNandEccCodeOffset);
    if (r == NandEccResult::Corrected) result = NandResult::Corrected;
    if (r == NandEccResult::Uncorrectable) result = NandResult::Uncorrectable;
  }
  if (data != nullptr) std::memcpy(data, record, kNandPageBytes);
  if (spare != nullptr) std::memcpy(spare, record + kNandPageBytes, kNandSpareBytes);
  return result;
}

NandResult NandModelProgramPage(NandModel* model, uint32_t page, const uint8_t* data, const uint8_t* spare,
                                uint32_t spareBytes, bool ecc) {
  uint32_t row = 0;
  NandChip* die = DieOf(model, page, &row);
  if (die == nullptr) return NandResult::Failed;
  if (!BeginCommand(model, kNandCmdProgram, page)) return NandResult::NotReady;
  uint8_t* record = model->scratch;
  std::memset(record, kErasedByte, kNandPageRecordBytes);
  if (data != nullptr) std::memcpy(record, data, kNandPageBytes);
  // With correction on, the code has the end of the spare area.
  uint32_t spareRoom = ecc ? kNandEccCodeOffset : kNandSpareBytes;
  if (spare != nullptr) std::memcpy(record + kNandPageBytes, spare, std::min(spareBytes, spareRoom));
  if (ecc) NandEccPage(record, record + kNandPageBytes + kNandEccCodeOffset);
  NandChipCommand(die, kNandCmdProgram);
  SendPageAddress(die, row);
  NandChipWriteData(die, record, kNandPageRecordBytes);
  NandChipCommand(die, kNandCmdProgramConfirm);
  WaitReady(model, die);
  return StatusResult(die);
}

NandResult NandModelEraseBlock(NandModel* model, uint32_t block) {
  uint32_t row = 0;
  NandChip* die = block < model->array.chip->blocks ? DieOf(model, block * kNandPagesPerBlock, &row) : nullptr;
  if (die == nullptr) return NandResult::Failed;
  if (!BeginCommand(model, kNandCmdErase, block)) return NandResult::NotReady;
  NandChipCommand(die, kNandCmdErase);
  SendRow(die, row);
  NandChipCommand(die, kNandCmdEraseConfirm);
  WaitReady(model, die);
  return StatusResult(die);
}
