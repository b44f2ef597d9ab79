// One NAND die behind one chip select, at its own bus level: command latch,
// address latch and data cycles, the page register, the busy time of the
// array operations and the chip's faults.
#pragma once

#include <cstdint>

#include "module/nand_array.h"
#include "module/nand_faults.h"

// Command bytes.
constexpr uint8_t kNandCmdRead = 0x00;
constexpr uint8_t kNandCmdReadConfirm = 0x30;
constexpr uint8_t kNandCmdProgram = 0x80;
constexpr uint8_t kNandCmdProgramConfirm = 0x10;
constexpr uint8_t kNandCmdErase = 0x60;
constexpr uint8_t kNandCmdEraseConfirm = 0xD0;
constexpr uint8_t kNandCmdReadStatus = 0x70;
constexpr uint8_t kNandCmdReadId = 0x90;
constexpr uint8_t kNandCmdReset = 0xFF;

// Status byte.
constexpr uint8_t kNandStatusFail = 0x01;
constexpr uint8_t kNandStatusReady = 0x40;
constexpr uint8_t kNandStatusArrayReady = 0x20;
constexpr uint8_t kNandStatusNotProtected = 0x80;

// Column address cycles of a page address (row cycles follow).
constexpr uint32_t kNandColumnCycles = 2;

enum class NandChipMode : uint8_t {
  Idle,            // nothing to output
  IdAddress,       // 0x90 taken, its address cycle expected
  IdOut,           // identification bytes, repeating
  ReadAddress,     // 0x00 taken, column and row cycles until 0x30
  PageOut,         // the page register from the column on
  ProgramAddress,  // 0x80 taken, column and row cycles
  ProgramData,     // data into the page register until 0x10
  EraseAddress,    // 0x60 taken, row cycles until 0xD0
  StatusOut,
};

enum class NandJob : uint8_t { None, Read, Program, Erase, Reset };

// What the power-cut faults count, for every die of one model.
struct NandPowerCut {
  uint64_t afterCommands = 0;  // 0: never
  uint64_t commands = 0;
  uint64_t afterBusyUs = 0;    // 0: never
  uint64_t busyUs = 0;
  bool due = false;            // the power goes now: the model ends the process
};

// Counts a command about to start; false (and `due` set) when the power
// goes before it takes effect.
bool NandPowerCutCommand(NandPowerCut* cut);

struct NandChip {
  // Set when the model opens.
  const NandChipType* type = nullptr;
  NandArray* array = nullptr;
  NandFaults* faults = nullptr;
  NandPowerCut* cut = nullptr;
  uint32_t firstPage = 0;  // of this die in the package's page numbering
  uint32_t pages = 0;      // this die's
  bool realistic = false;

  NandChipMode mode = NandChipMode::Idle;
  uint32_t addressCycles = 0;  // taken since the command
  uint32_t column = 0;
  uint32_t row = 0;
  uint32_t outAt = 0;          // next byte of identification or page register
  uint8_t status = kNandStatusNotProtected | kNandStatusReady | kNandStatusArrayReady;
  uint8_t reg[kNandPageRecordBytes] = {};  // the page register

  NandJob job = NandJob::None;
  uint32_t jobPage = 0;     // package page of a program, first page of an erase
  bool jobFails = false;    // the cells stay as they are
  uint64_t startNs = 0;     // realistic timing only
  uint64_t endNs = 0;

  bool lastRefused = false;  // the last confirm named a page this die lacks
  uint64_t unknownCommands = 0;
  uint64_t refusedCommands = 0;
  uint64_t ignoredWhileBusy = 0;
};

// Power-up: idle and ready; factory bad blocks get their maker's mark.
void NandChipPowerUp(NandChip* chip);

void NandChipCommand(NandChip* chip, uint8_t command);
void NandChipAddress(NandChip* chip, uint8_t cycle);
// Data cycles in bulk: what a run of read or write enable pulses moves.
void NandChipReadData(NandChip* chip, uint8_t* out, uint32_t length);
void NandChipWriteData(NandChip* chip, const uint8_t* data, uint32_t length);

// False while an array operation runs (R/B# low); finishes one whose time is up.
bool NandChipReady(NandChip* chip);
// When a running operation ends (monotonic ns), 0 when none is timed.
inline uint64_t NandChipBusyUntil(const NandChip* chip) { return chip->job == NandJob::None ? 0 : chip->endNs; }
// The power goes at `nowNs`: an operation under way is left as far as it got.
void NandChipPowerCut(NandChip* chip, uint64_t nowNs);
// The power stays: an operation under way runs to its end.
void NandChipFinish(NandChip* chip);

uint64_t NandMonotonicNs();
