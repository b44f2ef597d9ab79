#include "module/nand_controller.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "module/nand_ecc.h"
#include "module/nand_timing.h"

namespace {

constexpr uint32_t kSmallPageBytes = 512;
constexpr uint32_t kSpareWithEcc = kNandEccCodeOffset;  // the code keeps the rest
constexpr uint32_t kIdTransferBytes = 8;  // what a read-identification command fetches
constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kByteBits = 8;
constexpr uint32_t kByteMask = 0xFF;
constexpr uint32_t kAddressWordCycles = 4;
constexpr uint32_t kOpenBus = 0xFFFFFFFF;
constexpr uint8_t kErasedByte = 0xFF;
constexpr uint32_t kCommandWords = 3;

// Timing register fields (cycle counts minus one).
constexpr uint32_t kReadPulseShift = 0;   // timing 0
constexpr uint32_t kWritePulseShift = 8;  // timing 0
constexpr uint32_t kPulseMask = 0x7;
constexpr uint32_t kReadTimeShift = 16;   // timing 1
constexpr uint32_t kNsPerUs = 1000;
constexpr uint32_t kMhzNs = 1000;  // ns per cycle times MHz

bool LastsAtLeast(uint32_t countMinusOne, uint32_t clockMhz, uint64_t ns) {
  return (uint64_t{countMinusOne} + 1) * kMhzNs >= ns * clockMhz;
}

uint32_t Type(const NandController* c) { return (c->words[0] >> kNandCommandTypeShift) & kNandCommandTypeMask; }
uint8_t FirstCommand(const NandController* c) { return static_cast<uint8_t>(c->words[0] & kByteMask); }
uint8_t SecondCommand(const NandController* c) {
  return static_cast<uint8_t>((c->words[0] & kNandCommandBytesMask) >> kByteBits);
}
bool TwoCommands(const NandController* c) { return (c->words[0] & kNandCommandTwoBytes) != 0; }

void Stall(NandController* c) { c->phase = NandPhase::Stalled; }

void End(NandController* c, uint32_t status) {
  c->status |= status | (c->secondSelect ? kNandStatusDoneCs1 : kNandStatusDone);
  c->phase = NandPhase::Done;
}

// Counts a command run under timings the chip cannot keep up with; it still
// runs (the model has no wrong timing to show), and the first time a pair of
// values is seen it says so.
void CheckTiming(NandController* c) {
  const NandControllerSetup& s = *c->setup;
  if (NandTimingSane(s.timing0, s.timing1, c->clockMhz)) return;
  c->counters.insaneTimings++;
  if (s.timing0 == c->tracedTiming0 && s.timing1 == c->tracedTiming1) return;
  c->tracedTiming0 = s.timing0;
  c->tracedTiming1 = s.timing1;
  std::fprintf(stderr,
               "nand: timing 0x%08" PRIX32 " 0x%08" PRIX32 " is too short for the chip at %" PRIu32
               " MHz; commands run anyway\n",
               s.timing0, s.timing1, c->clockMhz);
}

void SendCommandAndAddress(NandController* c) {
  NandChipCommand(c->chip, FirstCommand(c));
  uint32_t cycles = (c->words[0] >> kNandCommandCyclesShift) & kNandCommandCyclesMask;
  for (uint32_t i = 0; i < cycles; i++) {
    uint32_t word = i < kAddressWordCycles ? c->words[1] : c->words[2];
    NandChipAddress(c->chip, static_cast<uint8_t>(word >> (kByteBits * (i % kAddressWordCycles))));
  }
}

// The second command byte; false (stalled) when the chip refused the page.
bool Confirm(NandController* c) {
  if (!TwoCommands(c)) return true;
  NandChipCommand(c->chip, SecondCommand(c));
  if (!c->chip->lastRefused) return true;
  Stall(c);
  return false;
}

// Moves a waiting command on once the chip is ready.
void Advance(NandController* c) {
  if (!NandChipReady(c->chip)) return;
  if (c->phase == NandPhase::ReadWait) {
    NandChipReadData(c->chip, c->buffer, c->chipBytes);
    c->doneStatus = 0;
    if (c->ecc) {
      NandEccResult r = NandEccCorrectPage(c->buffer, c->buffer + kNandPageBytes + kNandEccCodeOffset);
      if (r == NandEccResult::Corrected) c->doneStatus = kNandStatusCorrected;
      if (r == NandEccResult::Uncorrectable) c->doneStatus = kNandStatusUncorrectable;
    }
    c->at = 0;
    c->status |= kNandStatusReadData | kNandStatusChipReady;
    c->phase = NandPhase::DataOut;
    return;
  }
  uint32_t status = kNandStatusChipReady;
  uint32_t type = Type(c);
  if ((type == kNandTypeProgram || type == kNandTypeErase) && (c->words[0] & kNandCommandAutoStatus) != 0) {
    NandChipCommand(c->chip, kNandCmdReadStatus);
    uint8_t chipStatus = 0;
    NandChipReadData(c->chip, &chipStatus, 1);
    if ((chipStatus & kNandStatusFail) != 0) status |= c->secondSelect ? kNandStatusBadBlockCs1 : kNandStatusBadBlock;
  }
  End(c, status);
}

void WaitFor(NandController* c, NandPhase phase) {
  c->phase = phase;
  Advance(c);
}

// The page transfer of a read or program under the control value in force:
// a 2048-byte page moves whole with its spare area between chip and
// buffer; the data buffer carries the page and the transfer's spare bytes.
void SetPageTransfer(NandController* c, uint32_t control) {
  if ((control & kNandControlPage2048) == 0) {
    c->ecc = false;
    c->length = c->chipBytes = kSmallPageBytes;
    return;
  }
  c->ecc = (control & kNandControlEcc) != 0;
  c->length = kNandPageBytes + NandControllerSpareBytes(control);
  c->chipBytes = kNandPageRecordBytes;
}

void ProgramPushed(NandController* c) {
  if (c->ecc) NandEccPage(c->buffer, c->buffer + kNandPageBytes + kNandEccCodeOffset);
  NandChipWriteData(c->chip, c->buffer, c->chipBytes);
  if (Confirm(c)) WaitFor(c, NandPhase::ChipBusy);
}

void Start(NandController* c) {
  if (!NandPowerCutCommand(c->cut)) return;  // the model ends the process
  c->counters.commandsStarted++;
  CheckTiming(c);
  uint32_t type = Type(c);
  c->secondSelect = (c->words[0] & kNandCommandSecondSelect) != 0;
  c->chip = c->chips[c->secondSelect ? 1 : 0];
  if (c->chip == nullptr) {
    c->counters.refusedCommands++;
    Stall(c);
    return;
  }
  uint32_t control = c->setup->control;
  switch (type) {
    case kNandTypeRead:
      SetPageTransfer(c, control);
      SendCommandAndAddress(c);
      if (Confirm(c)) WaitFor(c, NandPhase::ReadWait);
      break;
    case kNandTypeProgram:
      SetPageTransfer(c, control);
      std::memset(c->buffer, kErasedByte, sizeof c->buffer);
      SendCommandAndAddress(c);
      c->at = 0;
      c->status |= kNandStatusWriteData;
      c->phase = NandPhase::DataIn;
      break;
    case kNandTypeErase:
      SendCommandAndAddress(c);
      if (Confirm(c)) WaitFor(c, NandPhase::ChipBusy);
      break;
    case kNandTypeReadId:
      c->ecc = false;
      c->length = c->chipBytes = kIdTransferBytes;
      SendCommandAndAddress(c);
      WaitFor(c, NandPhase::ReadWait);
      break;
    case kNandTypeReset:
      NandChipCommand(c->chip, FirstCommand(c));
      WaitFor(c, NandPhase::ChipBusy);
      break;
    default:
      // Nothing reaches the chip; the driver waits in vain and times out.
      c->counters.unknownCommands++;
      Stall(c);
      break;
  }
}

uint32_t LoadWord(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void StoreWord(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t ReadData(NandController* c) {
  if (c->phase != NandPhase::DataOut) {
    c->counters.strayAccesses++;
    return kOpenBus;
  }
  uint32_t value = LoadWord(c->buffer + c->at);
  c->at += kWordBytes;
  if (c->at >= c->length) End(c, c->doneStatus);
  return value;
}

void WriteData(NandController* c, uint32_t value) {
  if (c->phase != NandPhase::DataIn) {
    c->counters.strayAccesses++;
    return;
  }
  StoreWord(c->buffer + c->at, value);
  c->at += kWordBytes;
  if (c->at >= c->length) ProgramPushed(c);
}

void WriteControl(NandController* c, uint32_t value) {
  c->setup->control = value & ~kNandControlRun;
  // Starting or stopping drops a command under way; a program whose data
  // never reached the chip does not happen.
  c->wordsTaken = 0;
  if ((value & kNandControlRun) == 0) {
    c->phase = NandPhase::Stopped;
    return;
  }
  c->phase = NandPhase::CommandWanted;
  if (!c->neverReady) c->status |= kNandStatusCommandWanted;
}

void WriteCommand(NandController* c, uint32_t value) {
  if (c->phase != NandPhase::CommandWanted) {
    c->counters.strayAccesses++;
    return;
  }
  c->words[c->wordsTaken++] = value;
  if (c->wordsTaken < kCommandWords) return;
  c->wordsTaken = 0;
  c->status &= ~kNandStatusCommandWanted;
  Start(c);
}

}  // namespace

uint32_t NandControllerSpareBytes(uint32_t control) {
  if ((control & kNandControlSpare) == 0) return 0;
  return (control & kNandControlEcc) != 0 ? kSpareWithEcc : kNandSpareBytes;
}

bool NandTimingSane(uint32_t timing0, uint32_t timing1, uint32_t clockMhz) {
  return LastsAtLeast((timing0 >> kReadPulseShift) & kPulseMask, clockMhz, kNandMinPulseNs) &&
         LastsAtLeast((timing0 >> kWritePulseShift) & kPulseMask, clockMhz, kNandMinPulseNs) &&
         LastsAtLeast(timing1 >> kReadTimeShift, clockMhz, uint64_t{kNandReadUs} * kNsPerUs);
}

void NandControllerPowerUp(NandController* c) {
  c->status = 0;
  c->phase = NandPhase::Stopped;
  c->wordsTaken = 0;
  c->chip = nullptr;
}

uint32_t NandControllerRead(NandController* c, uint32_t offset) {
  switch (offset) {
    case kNandRegData: return ReadData(c);
    case kNandRegStatus:
      if (c->phase == NandPhase::ReadWait || c->phase == NandPhase::ChipBusy) Advance(c);
      return c->status;
    case kNandRegControl: return c->setup->control | (NandControllerIdle(c) ? 0 : kNandControlRun);
    case kNandRegTiming0: return c->setup->timing0;
    case kNandRegTiming1: return c->setup->timing1;
    default: return 0;
  }
}

bool NandControllerIdle(const NandController* c) {
  return c->phase == NandPhase::Stopped || c->phase == NandPhase::Done;
}

void NandControllerWrite(NandController* c, uint32_t offset, uint32_t value) {
  switch (offset) {
    case kNandRegData: WriteData(c, value); break;
    case kNandRegCommand: WriteCommand(c, value); break;
    case kNandRegStatus: c->status &= ~value; break;
    case kNandRegControl: WriteControl(c, value); break;
    case kNandRegTiming0: c->setup->timing0 = value; break;
    case kNandRegTiming1: c->setup->timing1 = value; break;
    default: break;
  }
}
