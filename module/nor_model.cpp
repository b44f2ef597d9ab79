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
// - a cut program leaves whole words done or untouched, never single bits.
//
// Faults name a bus byte offset and strike the one chip holding that byte:
// offset 4k or 4k+1 the low chip, 4k+2 or 4k+3 the high chip.
//
// Power cut: `power_cut_after` = N lets N bus writes take effect; the next
// write ends the process before it does. A program or erase still under way
// (realistic timing only; fast timing finishes on the confirm write) is left
// as far as it got: an erase has the start of its block at 0xFF and the rest
// old, a buffered program its lower words programmed and the rest untouched.
#include "module/nor_model.h"

#include <unistd.h>

#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "module/flash_image.h"
#include "module/nor_cfi.h"
#include "module/nor_chip.h"

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
};

namespace {

constexpr uint32_t kChipCount = 2;
constexpr uint32_t kChipShift = 16;
constexpr uint32_t kChipMask = 0xFFFF;
constexpr uint32_t kBusWordBytes = 4;
constexpr uint32_t kChipWordBytes = 2;
constexpr uint32_t kOpenBus = 0xFFFFFFFF;
// The erase block flash.img is handled in when not through the chips.
constexpr uint32_t kImageBlockBytes = 0x40000;

void UpdateDirect(NorModel* m) {
  m->arrayDirect = NorChipReadsArray(&m->chips[0]) && NorChipReadsArray(&m->chips[1]);
}

uint32_t LoadBus(const NorModel* m, uint32_t offset) {
  const uint8_t* p = m->image.raw.bytes + offset;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

[[noreturn]] void PowerCut(NorModel* m) {
  for (NorChip& chip : m->chips) NorChipPowerCut(&chip);
  std::fprintf(stderr, "flash: power cut after %" PRIu64 " flash commands\n", m->commandWrites);
  ::_exit(kNorPowerCutExitCode);
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
  if (m->powerCutAfter != 0 && m->commandWrites >= m->powerCutAfter) PowerCut(m);
  m->commandWrites++;
  uint32_t word = offset / kBusWordBytes;
  NorChipWrite(&m->chips[0], word, static_cast<uint16_t>(value & kChipMask));
  NorChipWrite(&m->chips[1], word, static_cast<uint16_t>(value >> kChipShift));
  UpdateDirect(m);
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

const BusDeviceOps kNorBusOps = {BusRead32, BusWrite32, BusReadWords};

// Turns a fault's bus offset into the chip holding that byte and its word
// there; a negative offset is "off".
bool FaultTarget(int64_t offset, const char* name, uint32_t busBytes, int64_t* word, uint32_t* chip,
                 std::string* error) {
  *word = kNorNoFault;
  *chip = 0;
  if (offset < 0) return true;
  if (offset >= busBytes) {
    char text[160];
    std::snprintf(text, sizeof text, "faults.%s 0x%" PRIx64 " lies past the end of the flash (0x%" PRIx32 " bytes)",
                  name, static_cast<uint64_t>(offset), busBytes);
    *error = text;
    return false;
  }
  *word = offset / kBusWordBytes;
  *chip = static_cast<uint32_t>(offset / kChipWordBytes) % kChipCount;
  return true;
}

bool SetFaults(NorModel* m, const ModuleConfig& config, std::string* error) {
  int64_t word = 0;
  uint32_t chip = 0;
  if (!FaultTarget(config.faultLockedBlock, "locked_block", m->busBytes, &word, &chip, error)) return false;
  if (word >= 0) m->chips[chip].faultLockedBlock = NorBlockAt(m->geometry, static_cast<uint32_t>(word)).index;
  if (!FaultTarget(config.faultEraseErrorBlock, "erase_error_block", m->busBytes, &word, &chip, error)) return false;
  if (word >= 0) m->chips[chip].faultEraseBlock = NorBlockAt(m->geometry, static_cast<uint32_t>(word)).index;
  if (!FaultTarget(config.faultProgramErrorAt, "program_error_at", m->busBytes, &word, &chip, error)) return false;
  if (word >= 0) m->chips[chip].faultProgramWord = word;
  if (!FaultTarget(config.faultWeakProgramAt, "weak_program_at", m->busBytes, &word, &chip, error)) return false;
  if (word >= 0) m->chips[chip].faultWeakWord = word;
  return true;
}

}  // namespace

NorModel* NorModelOpen(const std::string& flashPath, const ModuleConfig& config, std::string* error) {
  NorGeometry geometry;
  if (!NorGeometryFor(config.norDeviceCode, &geometry)) {
    char text[80];
    std::snprintf(text, sizeof text, "no NOR chip has the device code 0x%04" PRIX32, config.norDeviceCode);
    *error = text;
    return nullptr;
  }
  auto* m = new (std::nothrow) NorModel;
  if (m == nullptr) {
    *error = "out of memory for the NOR flash model";
    return nullptr;
  }
  m->geometry = geometry;
  m->busBytes = kChipCount * geometry.chipBytes;
  if (!FlashImageOpen(flashPath, kImageBlockBytes, &m->image, error)) {
    delete m;
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
  NorCfiBuild(geometry, m->cfi);
  for (uint32_t i = 0; i < kChipCount; i++) {
    NorChip& chip = m->chips[i];
    chip.geometry = &m->geometry;
    chip.cfi = m->cfi;
    chip.base = m->image.raw.bytes + i * kChipWordBytes;
    chip.realistic = config.timing == ModuleTiming::Realistic;
    chip.neverReady = config.faultNeverReady;
  }
  if (!SetFaults(m, config, error)) {
    NorModelClose(m);
    return nullptr;
  }
  for (NorChip& chip : m->chips) NorChipPowerUp(&chip);
  m->powerCutAfter = config.faultPowerCutAfter;
  UpdateDirect(m);
  return m;
}

void NorModelClose(NorModel* model) {
  if (model == nullptr) return;
  if (model->image.raw.bytes != nullptr) {
    for (NorChip& chip : model->chips) NorChipFinish(&chip);
  }
  FlashImageClose(&model->image);
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
