#include "module/cpld_model.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "module/jtag_wires.h"

struct CpldModel {
  CpldArray array;
  JtagTap tap;
  std::string path;
  bool programFails = false;
  uint64_t powerCutAfterTck = 0;  // 0: never
  bool isc = false;       // ISC mode: erase, program and read act
  bool dirty = false;     // changed since cpld.img was written
  bool unsynced = false;  // written since cpld.img was last synced
  bool saveFailing = false;  // the last write failed (reported once)
  // The row the last ISC_READ update fetched, and the address register.
  uint8_t readLatch[kCpldRowBytes] = {};
  uint32_t address = 0;
  CpldCounters counters;
};

namespace {

constexpr uint32_t kByteBits = 8;

bool IsDataInstruction(uint8_t instruction) {
  return instruction == kCpldIscProgram || instruction == kCpldIscRead;
}

bool IsDefaultInstruction(uint8_t instruction) {
  switch (instruction) {
    case kCpldIscEnableOtf:
    case kCpldIscEnable:
    case kCpldIscErase:
    case kCpldIscInit:
    case kCpldIscDisable: return true;
    default: return false;
  }
}

// The read latch at the erased level.
void ClearLatch(CpldModel* m) {
  CpldArray erased;
  CpldArrayErase(&erased);
  std::memcpy(m->readLatch, erased.rows[0], kCpldRowBytes);
}

bool Write(CpldModel* m, AtomicDurability durability, std::string* error) {
  if (!CpldArraySave(m->path, m->array, error, durability)) {
    m->counters.saveFailures++;
    m->saveFailing = true;
    return false;
  }
  m->dirty = false;
  m->unsynced = durability == AtomicDurability::ProcessEnd;
  m->saveFailing = false;
  return true;
}

void Report(bool written, bool failingBefore, const std::string& error) {
  // A directory that refuses the file would otherwise be reported for every row.
  if (!written && !failingBefore) std::fprintf(stderr, "cpld: %s\n", error.c_str());
}

// An erase or a row program is in the cells once its pulse ends, whatever
// the process does next, so the change goes to cpld.img at once. Without a
// sync: the file must outlive the process, not the host, and a sync per row
// would cost more than the row's programming time. The end of a run syncs.
void WriteThrough(CpldModel* m) {
  if (!m->dirty) return;
  bool failingBefore = m->saveFailing;
  std::string error;
  Report(Write(m, AtomicDurability::ProcessEnd, &error), failingBefore, error);
}

void Save(CpldModel* m) {
  bool failingBefore = m->saveFailing;
  std::string error;
  Report(CpldModelSave(m, &error), failingBefore, error);
}

bool Select(void*, uint8_t instruction, uint32_t* bits) {
  if (IsDataInstruction(instruction)) *bits = kCpldDataRegisterBits;
  else if (IsDefaultInstruction(instruction)) *bits = kCpldIscDefaultBits;
  else return false;
  return true;
}

void Capture(void* device, uint8_t instruction, TapRegister* dr) {
  auto* m = static_cast<CpldModel*>(device);
  if (!IsDataInstruction(instruction)) return;
  for (uint32_t bit = 0; bit < kCpldRowBits; bit++) {
    TapRegisterSetBit(dr, bit, ((m->readLatch[bit / kByteBits] >> (bit % kByteBits)) & 1) != 0);
  }
  TapRegisterSetValue(dr, kCpldRowBits, kCpldAddressBits, m->address);
}

// The row the data register's address names; false (counted) for none.
bool AddressedRow(CpldModel* m, const TapRegister& dr, uint32_t* row) {
  m->address = static_cast<uint32_t>(TapRegisterValue(dr, kCpldRowBits, kCpldAddressBits));
  if (CpldRowOfAddress(m->address, row)) return true;
  m->counters.unknownAddresses++;
  return false;
}

void Program(CpldModel* m, const TapRegister& dr) {
  uint32_t row = 0;
  if (!AddressedRow(m, dr, &row)) return;
  if (m->programFails) {
    m->counters.refused++;
    return;
  }
  uint8_t data[kCpldRowBytes] = {};
  for (uint32_t bit = 0; bit < kCpldRowBits; bit++) {
    if (TapRegisterBit(dr, bit)) data[bit / kByteBits] |= static_cast<uint8_t>(1u << (bit % kByteBits));
  }
  uint8_t before[kCpldRowBytes];
  std::memcpy(before, m->array.rows[row], kCpldRowBytes);
  CpldArrayProgramRow(&m->array, row, data);
  m->counters.rowsProgrammed++;
  if (std::memcmp(before, m->array.rows[row], kCpldRowBytes) != 0) m->dirty = true;
}

void Read(CpldModel* m, const TapRegister& dr) {
  uint32_t row = 0;
  if (!AddressedRow(m, dr, &row)) {
    // No row answers: the sense lines stay at the erased level.
    ClearLatch(m);
    return;
  }
  std::memcpy(m->readLatch, m->array.rows[row], kCpldRowBytes);
  m->counters.rowsRead++;
}

void Update(void* device, uint8_t instruction, const TapRegister& dr) {
  auto* m = static_cast<CpldModel*>(device);
  bool acts = instruction == kCpldIscErase || IsDataInstruction(instruction);
  if (!acts) return;
  if (!m->isc) {
    m->counters.refused++;
    return;
  }
  if (instruction == kCpldIscErase) {
    if (!CpldArrayBlank(m->array)) m->dirty = true;
    CpldArrayErase(&m->array);
    m->counters.erases++;
  } else if (instruction == kCpldIscProgram) {
    Program(m, dr);
  } else {
    Read(m, dr);
  }
  WriteThrough(m);
}

void Instruction(void* device, uint8_t instruction) {
  auto* m = static_cast<CpldModel*>(device);
  if (instruction == kCpldIscEnable || instruction == kCpldIscEnableOtf) m->isc = true;
  if (instruction == kCpldIscDisable) {
    m->isc = false;
    // Leaving ISC mode is where a programming run ends: what it wrote is synced now.
    Save(m);
  }
}

uint32_t Usercode(void* device) { return CpldArrayUsercode(static_cast<CpldModel*>(device)->array); }

// The power goes at this edge: the cells keep what the erase and the rows
// programmed so far made of them, so the array is saved as it stands.
void Rising(void* device, uint64_t edges) {
  auto* m = static_cast<CpldModel*>(device);
  if (m->powerCutAfterTck == 0 || edges < m->powerCutAfterTck) return;
  Save(m);
  std::fprintf(stderr, "cpld: power cut after %" PRIu64 " TCK edges\n", edges);
  ::_exit(kCpldPowerCutExitCode);
}

const JtagDeviceOps kOps = {Select, Capture, Update, Instruction, Usercode, Rising};

}  // namespace

bool CpldCheckConfig(const ModuleConfig& config, std::string* error) {
  TdoStuck stuck;
  if (TdoStuckParse(config.faultTdoStuck, &stuck)) return true;
  *error = "faults.tdo_stuck must be high, low or empty, not '" + config.faultTdoStuck + "'";
  return false;
}

CpldModel* CpldModelOpen(const std::string& path, const ModuleConfig& config, std::string* error) {
  auto* m = new (std::nothrow) CpldModel;
  if (m == nullptr) {
    *error = "out of memory for the CPLD model";
    return nullptr;
  }
  bool found = false;
  if (!CpldArrayLoad(path, &m->array, &found, error)) {
    delete m;
    return nullptr;
  }
  if (!found) CpldArrayFactory(&m->array, config.cpldUsercode);
  m->path = path;
  m->programFails = config.faultCpldProgramFails;
  m->powerCutAfterTck = config.faultPowerCutAfterTck;
  ClearLatch(m);
  JtagTapPowerUp(&m->tap, config.cpldIdcode, &kOps, m);
  return m;
}

void CpldModelClose(CpldModel* model) {
  if (model == nullptr) return;
  Save(model);
  delete model;
}

JtagTap* CpldModelTap(CpldModel* model) { return &model->tap; }
const CpldArray& CpldModelArray(const CpldModel* model) { return model->array; }
CpldCounters CpldModelCounters(const CpldModel* model) { return model->counters; }
bool CpldModelInIscMode(const CpldModel* model) { return model->isc; }

void CpldModelSetArray(CpldModel* model, const CpldArray& array) {
  model->array = array;
  model->dirty = true;
}

bool CpldModelSave(CpldModel* model, std::string* error) {
  if (!model->dirty && !model->unsynced) return true;
  return Write(model, AtomicDurability::HostCrash, error);
}

bool CpldFactoryInstall(const std::string& path, const ModuleConfig& config, std::string* error) {
  if (config.cpldIdcode == 0) return true;
  CpldArray array;
  CpldArrayFactory(&array, config.cpldUsercode);
  return CpldArraySave(path, array, error);
}
