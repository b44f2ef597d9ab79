#include "module/nand_chip.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "module/nand_timing.h"

namespace {

constexpr uint8_t kFloatingByte = 0xFF;  // what the data lines read when nothing drives them
constexpr uint8_t kErasedByte = 0xFF;
constexpr uint8_t kBadBlockMark = 0x00;
constexpr uint32_t kMarkedPages = 2;     // makers mark the first and second page of a bad block
constexpr uint32_t kBitsPerCycle = 8;
constexpr uint32_t kIdBytes = sizeof(NandChipType{}.idBytes);
constexpr uint64_t kNsPerUs = 1000;
constexpr uint8_t kReadyStatus = kNandStatusNotProtected | kNandStatusReady | kNandStatusArrayReady;

uint32_t PageAddressCycles(const NandChip* c) { return kNandColumnCycles + c->type->rowCycles; }

uint8_t StatusByte(NandChip* c) {
  constexpr uint8_t kReadyBits = kNandStatusReady | kNandStatusArrayReady;
  return NandChipReady(c) ? c->status : static_cast<uint8_t>(c->status & ~kReadyBits);
}

// Carries out the first `bytes` of a program, or erases the first `bytes`
// worth of an erase's pages: both run through the cells in address order.
void Apply(NandChip* c, uint64_t bytes) {
  if (c->jobFails) return;
  if (c->job == NandJob::Program) {
    uint64_t length = std::min<uint64_t>(bytes, kNandPageRecordBytes);
    NandArrayProgram(c->array, c->jobPage, 0, c->reg, static_cast<uint32_t>(length));
  } else if (c->job == NandJob::Erase) {
    uint64_t pages = std::min<uint64_t>(bytes / kNandPageRecordBytes, kNandPagesPerBlock);
    if (pages == kNandPagesPerBlock) NandArrayErase(c->array, c->jobPage / kNandPagesPerBlock);
    else NandArrayErasePages(c->array, c->jobPage, static_cast<uint32_t>(pages));
  }
}

uint64_t JobBytes(NandJob job) {
  if (job == NandJob::Program) return kNandPageRecordBytes;
  if (job == NandJob::Erase) return uint64_t{kNandPageRecordBytes} * kNandPagesPerBlock;
  return 0;
}

void Complete(NandChip* c) {
  Apply(c, JobBytes(c->job));
  c->job = NandJob::None;
  c->jobFails = false;
}

// Starts an array operation of `us` datasheet time. The power-cut budget is
// spent here: the operation that would run past it is left part done and
// the model told to end the process.
void Begin(NandChip* c, NandJob job, uint32_t us, bool fails) {
  c->job = job;
  c->jobFails = fails;
  NandPowerCut* cut = c->cut;
  if (cut != nullptr && cut->afterBusyUs != 0) {
    if (cut->busyUs + us > cut->afterBusyUs) {
      uint64_t intoUs = cut->afterBusyUs - cut->busyUs;
      Apply(c, JobBytes(job) * intoUs / us);
      c->job = NandJob::None;
      cut->busyUs = cut->afterBusyUs;
      cut->due = true;
      return;
    }
    cut->busyUs += us;
  }
  if (!c->realistic) {
    Complete(c);
    return;
  }
  c->startNs = NandMonotonicNs();
  c->endNs = c->startNs + uint64_t{us} * kNsPerUs;
}

// The row of the last address, or false (counted) when it was incomplete or
// names a page this die does not have: the chip must not wrap onto another page.
bool TakeRow(NandChip* c, uint32_t cycles) {
  if (c->addressCycles >= cycles && c->row < c->pages) return true;
  c->lastRefused = true;
  c->refusedCommands++;
  c->mode = NandChipMode::Idle;
  return false;
}

void ConfirmRead(NandChip* c) {
  if (c->mode != NandChipMode::ReadAddress) {
    c->unknownCommands++;
    c->mode = NandChipMode::Idle;
    return;
  }
  if (!TakeRow(c, PageAddressCycles(c))) return;
  uint32_t page = c->firstPage + c->row;
  NandArrayRead(c->array, page, 0, c->reg, kNandPageRecordBytes);
  NandFaultFlipBits(*c->faults, page, c->reg);
  c->mode = NandChipMode::PageOut;
  c->outAt = c->column;
  Begin(c, NandJob::Read, kNandReadUs, false);
}

void ConfirmProgram(NandChip* c) {
  if (c->mode != NandChipMode::ProgramData && c->mode != NandChipMode::ProgramAddress) {
    c->unknownCommands++;
    c->mode = NandChipMode::Idle;
    return;
  }
  if (!TakeRow(c, PageAddressCycles(c))) return;
  c->jobPage = c->firstPage + c->row;
  bool fails = NandFaultProgramFails(c->faults, c->jobPage / kNandPagesPerBlock);
  c->status = static_cast<uint8_t>((c->status & ~kNandStatusFail) | (fails ? kNandStatusFail : 0));
  c->mode = NandChipMode::StatusOut;
  Begin(c, NandJob::Program, kNandProgramUs, fails);
}

void ConfirmErase(NandChip* c) {
  if (c->mode != NandChipMode::EraseAddress) {
    c->unknownCommands++;
    c->mode = NandChipMode::Idle;
    return;
  }
  if (!TakeRow(c, c->type->rowCycles)) return;
  // The page bits of the row do not matter to an erase.
  c->jobPage = c->firstPage + c->row / kNandPagesPerBlock * kNandPagesPerBlock;
  bool fails = NandFaultEraseFails(c->faults, c->jobPage / kNandPagesPerBlock);
  c->status = static_cast<uint8_t>((c->status & ~kNandStatusFail) | (fails ? kNandStatusFail : 0));
  c->mode = NandChipMode::StatusOut;
  Begin(c, NandJob::Erase, kNandEraseUs, fails);
}

void StartSequence(NandChip* c, NandChipMode mode) {
  c->mode = mode;
  c->addressCycles = 0;
  c->column = 0;
  c->row = 0;
}

void MarkFactoryBad(NandChip* c) {
  for (uint32_t block : c->faults->factoryBad) {
    uint32_t first = block * kNandPagesPerBlock;
    if (first < c->firstPage || first >= c->firstPage + c->pages) continue;
    for (uint32_t page = first; page < first + kMarkedPages; page++) {
      uint8_t mark = 0;
      NandArrayRead(c->array, page, kNandBadMarkOffset, &mark, 1);
      if (mark == kErasedByte) NandArrayProgram(c->array, page, kNandBadMarkOffset, &kBadBlockMark, 1);
    }
  }
}

}  // namespace

uint64_t NandMonotonicNs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

bool NandPowerCutCommand(NandPowerCut* cut) {
  if (cut->afterCommands != 0 && cut->commands >= cut->afterCommands) {
    cut->due = true;
    return false;
  }
  cut->commands++;
  return true;
}

void NandChipPowerUp(NandChip* c) {
  c->mode = NandChipMode::Idle;
  c->job = NandJob::None;
  c->jobFails = false;
  c->status = kReadyStatus;
  std::memset(c->reg, kErasedByte, sizeof c->reg);
  MarkFactoryBad(c);
}

bool NandChipReady(NandChip* c) {
  if (c->job == NandJob::None) return true;
  if (NandMonotonicNs() < c->endNs) return false;
  Complete(c);
  return true;
}

void NandChipCommand(NandChip* c, uint8_t command) {
  c->lastRefused = false;
  bool ready = NandChipReady(c);
  if (!ready && command != kNandCmdReadStatus && command != kNandCmdReset) {
    c->ignoredWhileBusy++;
    return;
  }
  switch (command) {
    case kNandCmdRead: StartSequence(c, NandChipMode::ReadAddress); break;
    case kNandCmdReadConfirm: ConfirmRead(c); break;
    case kNandCmdProgram:
      StartSequence(c, NandChipMode::ProgramAddress);
      std::memset(c->reg, kErasedByte, sizeof c->reg);
      break;
    case kNandCmdProgramConfirm: ConfirmProgram(c); break;
    case kNandCmdErase: StartSequence(c, NandChipMode::EraseAddress); break;
    case kNandCmdEraseConfirm: ConfirmErase(c); break;
    case kNandCmdReadStatus: c->mode = NandChipMode::StatusOut; break;
    case kNandCmdReadId: StartSequence(c, NandChipMode::IdAddress); break;
    case kNandCmdReset:
      // A reset stops a program or erase where it has got to.
      if (!ready) NandChipPowerCut(c, NandMonotonicNs());
      c->mode = NandChipMode::Idle;
      c->status = kReadyStatus;
      Begin(c, NandJob::Reset, kNandResetUs, false);
      break;
    default:
      // Back to a safe state; counted so tests see a driver's stray commands.
      c->unknownCommands++;
      c->mode = NandChipMode::Idle;
      break;
  }
}

void NandChipAddress(NandChip* c, uint8_t cycle) {
  if (!NandChipReady(c)) {
    c->ignoredWhileBusy++;
    return;
  }
  uint32_t at = c->addressCycles++;
  switch (c->mode) {
    case NandChipMode::IdAddress:
      c->mode = NandChipMode::IdOut;
      c->outAt = 0;
      break;
    case NandChipMode::ReadAddress:
    case NandChipMode::ProgramAddress:
      if (at < kNandColumnCycles) c->column |= uint32_t{cycle} << (kBitsPerCycle * at);
      else if (at < PageAddressCycles(c)) c->row |= uint32_t{cycle} << (kBitsPerCycle * (at - kNandColumnCycles));
      break;
    case NandChipMode::EraseAddress:
      if (at < c->type->rowCycles) c->row |= uint32_t{cycle} << (kBitsPerCycle * at);
      break;
    default: break;  // the command that left the chip here was counted already
  }
}

void NandChipReadData(NandChip* c, uint8_t* out, uint32_t length) {
  if (c->mode == NandChipMode::StatusOut) {
    std::memset(out, StatusByte(c), length);
    return;
  }
  if (!NandChipReady(c)) {
    c->ignoredWhileBusy++;
    std::memset(out, kFloatingByte, length);
    return;
  }
  if (c->mode == NandChipMode::IdOut) {
    for (uint32_t i = 0; i < length; i++) out[i] = c->type->idBytes[(c->outAt + i) % kIdBytes];
    c->outAt = (c->outAt + length) % kIdBytes;
    return;
  }
  if (c->mode != NandChipMode::PageOut) {
    std::memset(out, kFloatingByte, length);
    return;
  }
  // Past the end of the spare area the register has nothing more to give.
  uint32_t have = c->outAt < kNandPageRecordBytes ? std::min(length, kNandPageRecordBytes - c->outAt) : 0;
  std::memcpy(out, c->reg + c->outAt, have);
  std::memset(out + have, kFloatingByte, length - have);
  c->outAt += have;
}

void NandChipWriteData(NandChip* c, const uint8_t* data, uint32_t length) {
  if (!NandChipReady(c)) {
    c->ignoredWhileBusy++;
    return;
  }
  if (c->mode == NandChipMode::ProgramAddress) {
    // The first data cycle ends the address.
    c->mode = NandChipMode::ProgramData;
    c->outAt = c->column;
  }
  if (c->mode != NandChipMode::ProgramData) {
    c->unknownCommands++;
    return;
  }
  uint32_t take = c->outAt < kNandPageRecordBytes ? std::min(length, kNandPageRecordBytes - c->outAt) : 0;
  std::memcpy(c->reg + c->outAt, data, take);
  c->outAt += take;
}

void NandChipPowerCut(NandChip* c, uint64_t nowNs) {
  if (c->job == NandJob::None) return;
  if (nowNs >= c->endNs) {
    Complete(c);
    return;
  }
  uint64_t done = JobBytes(c->job) * (nowNs - c->startNs) / (c->endNs - c->startNs);
  Apply(c, done);
  c->job = NandJob::None;
  c->jobFails = false;
}

void NandChipFinish(NandChip* c) {
  if (c->job != NandJob::None) Complete(c);
}
