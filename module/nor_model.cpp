// The NOR chip pair as the bus sees it: chip 0 answers on bits 0-15, chip 1
// on bits 16-31, and bus byte offset o is word o/4 of both chips.
//
// Not modelled:
// - program and erase suspend/resume, and the resume command (taken as unknown);
// - protection registers, OTP, the lock-down state and WP# (lock-down is a plain lock);
// - burst and page read modes, the read configuration register;
// - VPP (status bit 3 never sets) and supply voltages;
// - partitions: a chip that is busy answers every read with its status;
// - x8 mode: the command is the low byte of each chip's half;
// - a cut program leaves whole words done or untouched, never single bits;
// - lock bit changes take no time, and non-volatile ones cannot be cut half done;
// - processes sharing a module each power their own pair up: non-volatile lock
//   bits are read when the model opens and written back whenever one changes.
//
// Blocks are 256 KB on the bus (128 KB in each chip), but the boot-block
// families carry four 64 KB parameter blocks in the lowest 256 KB (bottom
// boot) or the highest (top boot); nor_chips.cpp has every device code.
//
// Faults name a bus byte offset and strike the one chip holding that byte:
// offset 4k or 4k+1 the low chip, 4k+2 or 4k+3 the high chip.
//
// Lock bits: the families with volatile ones power up with every block
// locked; the oldest family keeps its bits in flash.img.locks across power
// cycles (a new module has the blocks below 0x40000 locked), and its clear
// command clears every bit of the chip at once.
//
// Power cut: `power_cut_after` = N lets N bus writes take effect; the next
// write ends the process before it does. A program or erase still under way
// (realistic timing only; fast timing finishes on the confirm write) is left
// as far as it got: an erase has the start of its block at 0xFF and the rest
// old, a buffered program its lower words programmed and the rest untouched.
// `power_cut_busy_us` = N ends the process once the pair has been busy N µs
// by the datasheet times, in either timing: the program or erase that runs
// past that point is left as far as it got then.
#include "module/nor_model.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "module/flash_image.h"
#include "module/flash_log.h"
#include "module/nor_cfi.h"
#include "module/nor_chip.h"
#include "module/nor_lock_store.h"

struct NorModel {
  FlashImage image;
  NorGeometry geometry;
  uint16_t cfi[kNorCfiWords] = {};
  NorChip chips[2];
  uint32_t busBytes = 0;
  // Both chips read their array and nothing is pending: reads bypass the chips.
  bool arrayDirect = true;
  uint64_t powerCutAfter = 0;
  uint64_t commandWrites = 0;
  uint64_t powerCutBusyUs = 0;
  uint64_t busyUs = 0;      // datasheet time of the jobs run so far
  std::string locksPath;    // empty where the lock bits are volatile
  FlashLog log;
};

namespace {

constexpr uint32_t kChipCount = 2;
constexpr uint32_t kChipShift = 16;
constexpr uint32_t kChipMask = 0xFFFF;
constexpr uint32_t kBusWordBytes = 4;
constexpr uint32_t kChipWordBytes = 2;
constexpr uint32_t kOpenBus = 0xFFFFFFFF;
constexpr uint64_t kNsPerUs = 1000;
// The erase block flash.img is handled in when not through the chips.
constexpr uint32_t kImageBlockBytes = 0x40000;

void UpdateDirect(NorModel* m) {
  m->arrayDirect = NorChipReadsArray(&m->chips[0]) && NorChipReadsArray(&m->chips[1]);
}

uint32_t LoadBus(const NorModel* m, uint32_t offset) {
  const uint8_t* p = m->image.raw.bytes + offset;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

[[noreturn]] void PowerCut(NorModel* m, uint64_t nowNs) {
  for (NorChip& chip : m->chips) NorChipPowerCut(&chip, nowNs);
  std::fprintf(stderr, "flash: power cut after %" PRIu64 " flash commands, %" PRIu64 " us busy\n", m->commandWrites,
               m->busyUs);
  ::_exit(kNorPowerCutExitCode);
}

// Both chips start a job on the same write; the pair is busy until the
// longer one ends. Jobs that fast timing completed at once have no time.
// Cuts the power where the busy budget runs out, else lets a job held in
// fast timing finish.
void CountBusyTime(NorModel* m, const uint64_t jobsBefore[kChipCount]) {
  bool started[kChipCount] = {};
  uint64_t longestNs = 0;
  for (uint32_t i = 0; i < kChipCount; i++) {
    const NorPending& p = m->chips[i].pending;
    started[i] = m->chips[i].jobsStarted != jobsBefore[i] && p.job != NorJob::None && !p.forever;
    if (started[i]) longestNs = std::max(longestNs, p.endNs - p.startNs);
  }
  if (longestNs == 0) return;
  uint64_t longestUs = (longestNs + kNsPerUs - 1) / kNsPerUs;
  if (m->powerCutBusyUs != 0 && m->busyUs + longestUs > m->powerCutBusyUs) {
    uint64_t intoNs = (m->powerCutBusyUs - m->busyUs) * kNsPerUs;
    for (uint32_t i = 0; i < kChipCount; i++) {
      if (started[i]) NorChipPowerCut(&m->chips[i], m->chips[i].pending.startNs + intoNs);
    }
    m->busyUs = m->powerCutBusyUs;
    PowerCut(m, NorMonotonicNs());
  }
  m->busyUs += longestUs;
  for (NorChip& chip : m->chips) {
    if (!chip.realistic && !chip.pending.forever) NorChipFinish(&chip);
  }
}

void SaveLocks(NorModel* m) {
  bool changed = false;
  for (NorChip& chip : m->chips) {
    changed = changed || chip.locksChanged;
    chip.locksChanged = false;
  }
  std::string error;
  if (changed && !m->locksPath.empty() && !NorLockStoreSave(m->locksPath, m->chips, kChipCount, &error)) {
    // The chips keep working; only the next power-up would find the old bits.
    std::fprintf(stderr, "flash: lock bits not kept: %s\n", error.c_str());
  }
}

uint32_t BusRead32(void* device, uint32_t offset) {
  auto* m = static_cast<NorModel*>(device);
  if (offset >= m->busBytes) return kOpenBus;
  offset &= ~(kBusWordBytes - 1);
  if (m->arrayDirect) return LoadBus(m, offset);
  uint32_t word = offset / kBusWordBytes;
  uint32_t value = NorChipRead(&m->chips[0], word) | uint32_t{NorChipRead(&m->chips[1], word)} << kChipShift;
  // The read may have found a job finished.
  UpdateDirect(m);
  return value;
}

void BusWrite32(void* device, uint32_t offset, uint32_t value) {
  auto* m = static_cast<NorModel*>(device);
  if (offset >= m->busBytes) return;
  if (m->powerCutAfter != 0 && m->commandWrites >= m->powerCutAfter) PowerCut(m, NorMonotonicNs());
  m->commandWrites++;
  bool idleBefore = m->arrayDirect;
  uint32_t word = offset / kBusWordBytes;
  uint64_t jobsBefore[kChipCount] = {m->chips[0].jobsStarted, m->chips[1].jobsStarted};
  NorChipWrite(&m->chips[0], word, static_cast<uint16_t>(value & kChipMask));
  NorChipWrite(&m->chips[1], word, static_cast<uint16_t>(value >> kChipShift));
  if (m->chips[0].jobsStarted != jobsBefore[0] || m->chips[1].jobsStarted != jobsBefore[1]) {
    CountBusyTime(m, jobsBefore);
  }
  SaveLocks(m);
  UpdateDirect(m);
  if (FlashLogOn(m->log)) {
    FlashLogAppend(&m->log, FlashLogDevice::Nor, offset, &value, 1, FlashLogFlags(idleBefore, m->arrayDirect));
  }
}

// Data words of buffered programs are most of what an update writes; while
// both chips take them, nothing but the buffers changes, so they go in as a
// run. Every other word, and the word a power cut is due on, goes the whole
// way.
void BusWriteWords(void* device, uint32_t offset, const uint32_t* in, size_t count) {
  auto* m = static_cast<NorModel*>(device);
  for (size_t i = 0; i < count;) {
    uint32_t word = offset / kBusWordBytes;
    uint32_t run = 0;
    if (offset < m->busBytes && NorChipLoadingBuffer(&m->chips[0]) && NorChipLoadingBuffer(&m->chips[1])) {
      uint64_t beforeCut =
          m->powerCutAfter == 0 ? UINT64_MAX : m->powerCutAfter - std::min(m->powerCutAfter, m->commandWrites);
      run = static_cast<uint32_t>(std::min<uint64_t>(count - i, beforeCut));
      run = NorChipBufferRoom(&m->chips[1], word, NorChipBufferRoom(&m->chips[0], word, run));
    }
    if (run == 0) {
      BusWrite32(device, offset, in[i]);
      run = 1;
    } else {
      NorChipBufferFill(&m->chips[0], word, in + i, run, 0);
      NorChipBufferFill(&m->chips[1], word, in + i, run, kChipShift);
      m->commandWrites += run;
      if (FlashLogOn(m->log)) FlashLogAppend(&m->log, FlashLogDevice::Nor, offset, in + i, run, 0);
    }
    i += run;
    offset += run * kBusWordBytes;
  }
}

void BusReadWords(void* device, uint32_t offset, uint32_t* out, size_t count) {
  auto* m = static_cast<NorModel*>(device);
  offset &= ~(kBusWordBytes - 1);
  bool inside = offset < m->busBytes && count <= (m->busBytes - offset) / kBusWordBytes;
  if constexpr (std::endian::native == std::endian::little) {
    if (m->arrayDirect && inside) {
      std::memcpy(out, m->image.raw.bytes + offset, count * kBusWordBytes);
      return;
    }
  }
  for (size_t i = 0; i < count; i++) {
    uint64_t at = uint64_t{offset} + i * kBusWordBytes;
    out[i] = at < m->busBytes ? BusRead32(device, static_cast<uint32_t>(at)) : kOpenBus;
  }
}

const BusDeviceOps kNorBusOps = {BusRead32, BusWrite32, BusReadWords, BusWriteWords};

struct FaultOffset {
  const char* name;
  int64_t ModuleConfig::*offset;
};

constexpr FaultOffset kFaultOffsets[] = {
    {"locked_block", &ModuleConfig::faultLockedBlock},
    {"erase_error_block", &ModuleConfig::faultEraseErrorBlock},
    {"program_error_at", &ModuleConfig::faultProgramErrorAt},
    {"weak_program_at", &ModuleConfig::faultWeakProgramAt},
};

// A fault's bus offset strikes the chip holding that byte, at its word there
// or the block of that word; a negative offset is "off".
void SetFault(NorModel* m, int64_t offset, int64_t NorChip::*field, bool wholeBlock) {
  if (offset < 0) return;
  uint32_t word = static_cast<uint32_t>(offset / kBusWordBytes);
  NorChip& chip = m->chips[offset / kChipWordBytes % kChipCount];
  chip.*field = wholeBlock ? NorBlockAt(m->geometry, word).index : word;
}

void SetFaults(NorModel* m, const ModuleConfig& config) {
  SetFault(m, config.faultLockedBlock, &NorChip::faultLockedBlock, true);
  SetFault(m, config.faultEraseErrorBlock, &NorChip::faultEraseBlock, true);
  SetFault(m, config.faultProgramErrorAt, &NorChip::faultProgramWord, false);
  SetFault(m, config.faultWeakProgramAt, &NorChip::faultWeakWord, false);
}

}  // namespace

bool NorModelCheckConfig(const ModuleConfig& config, std::string* error) {
  NorGeometry geometry;
  char text[160];
  if (!NorGeometryFor(config.norDeviceCode, &geometry)) {
    std::snprintf(text, sizeof text, "no NOR chip has the device code 0x%04" PRIX32, config.norDeviceCode);
    *error = text;
    return false;
  }
  uint32_t busBytes = kChipCount * geometry.chipBytes;
  for (const FaultOffset& fault : kFaultOffsets) {
    int64_t offset = config.*fault.offset;
    if (offset < busBytes) continue;
    std::snprintf(text, sizeof text, "faults.%s 0x%" PRIx64 " lies past the end of the flash (0x%" PRIx32 " bytes)",
                  fault.name, static_cast<uint64_t>(offset), busBytes);
    *error = text;
    return false;
  }
  return true;
}

NorModel* NorModelOpen(const std::string& flashPath, const std::string& shmDir, const ModuleConfig& config,
                       std::string* error) {
  if (!NorModelCheckConfig(config, error)) return nullptr;
  auto* m = new (std::nothrow) NorModel;
  if (m == nullptr) {
    *error = "out of memory for the NOR flash model";
    return nullptr;
  }
  NorGeometryFor(config.norDeviceCode, &m->geometry);
  m->busBytes = kChipCount * m->geometry.chipBytes;
  if (!FlashImageOpen(flashPath, kImageBlockBytes, &m->image, error)) {
    delete m;
    return nullptr;
  }
  if (!shmDir.empty() && !FlashImageCountChanges(&m->image, shmDir, error)) {
    NorModelClose(m);
    return nullptr;
  }
  if (m->image.raw.size != m->busBytes) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "%s holds 0x%" PRIx32 " bytes but a pair of chips 0x%04" PRIX32 " holds 0x%" PRIx32,
                  flashPath.c_str(), m->image.raw.size, config.norDeviceCode, m->busBytes);
    *error = text;
    NorModelClose(m);
    return nullptr;
  }
  NorCfiBuild(m->geometry, m->cfi);
  for (uint32_t i = 0; i < kChipCount; i++) {
    NorChip& chip = m->chips[i];
    chip.geometry = &m->geometry;
    chip.cfi = m->cfi;
    chip.base = m->image.raw.bytes + i * kChipWordBytes;
    chip.changes = &m->image.raw.changes;
    chip.realistic = config.timing == ModuleTiming::Realistic;
    chip.neverReady = config.faultNeverReady;
    chip.holdJobs = config.faultPowerCutBusyUs != 0;
  }
  SetFaults(m, config);
  if (m->geometry.nonVolatileLocks) {
    m->locksPath = NorLockStorePath(flashPath);
    if (!NorLockStoreLoad(m->locksPath, m->chips, kChipCount, error)) {
      NorModelClose(m);
      return nullptr;
    }
  }
  for (NorChip& chip : m->chips) NorChipPowerUp(&chip);
  m->powerCutAfter = config.faultPowerCutAfter;
  m->powerCutBusyUs = config.faultPowerCutBusyUs;
  UpdateDirect(m);
  if (!FlashLogOpen(config.traceFlashLog, flashPath, &m->log, error)) {
    NorModelClose(m);
    return nullptr;
  }
  return m;
}

void NorModelClose(NorModel* model) {
  if (model == nullptr) return;
  if (model->image.raw.bytes != nullptr) {
    for (NorChip& chip : model->chips) NorChipFinish(&chip);
  }
  FlashImageClose(&model->image);
  FlashLogClose(&model->log);
  delete model;
}

const BusDeviceOps* NorModelBusOps() { return &kNorBusOps; }

uint32_t NorModelBusBytes(const NorModel* model) { return model->busBytes; }

const NorGeometry* NorModelGeometry(const NorModel* model) { return &model->geometry; }

NorChipCounters NorModelChipCounters(const NorModel* model, uint32_t chip) {
  NorChipCounters counters;
  if (chip >= kChipCount) return counters;
  counters.unknownCommands = model->chips[chip].unknownCommands;
  counters.ignoredWhileBusy = model->chips[chip].ignoredWhileBusy;
  return counters;
}

uint64_t NorModelCommandWrites(const NorModel* model) { return model->commandWrites; }

uint64_t NorModelBusyUs(const NorModel* model) { return model->busyUs; }

bool NorModelCellChanges(const NorModel* model, uint64_t* count) {
  return CellChangesNow(model->image.raw.changes, count);
}
