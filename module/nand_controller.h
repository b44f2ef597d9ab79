// The processor's NAND data flash controller: its registers, the command
// it runs on a chip, the data buffer and the correction code.
#pragma once

#include <cstdint>

#include "module/nand_chip.h"

// Register offsets in the controller's window.
constexpr uint32_t kNandRegControl = 0x00;
constexpr uint32_t kNandRegTiming0 = 0x04;
constexpr uint32_t kNandRegTiming1 = 0x0C;
constexpr uint32_t kNandRegStatus = 0x14;
constexpr uint32_t kNandRegData = 0x40;
constexpr uint32_t kNandRegCommand = 0x48;

// Control register.
constexpr uint32_t kNandControlSpare = 1u << 31;  // spare bytes travel with the page
constexpr uint32_t kNandControlEcc = 1u << 30;
constexpr uint32_t kNandControlRun = 1u << 28;    // take a command
constexpr uint32_t kNandControlPage2048 = 1u << 24;  // clear: 512-byte pages
constexpr uint32_t kNandControl64Pages = 1u << 14;   // clear: 32 pages a block
constexpr uint32_t kNandControlInterruptMasks = 0xFFF;

// Status register (write 1 to clear).
constexpr uint32_t kNandStatusCommandWanted = 0x001;
constexpr uint32_t kNandStatusReadData = 0x002;
constexpr uint32_t kNandStatusWriteData = 0x004;
constexpr uint32_t kNandStatusCorrected = 0x008;
constexpr uint32_t kNandStatusUncorrectable = 0x010;
// The chip reported a failed program or erase, and the command ended: one
// bit of each for each chip select.
constexpr uint32_t kNandStatusBadBlock = 0x040;
constexpr uint32_t kNandStatusBadBlockCs1 = 0x020;
constexpr uint32_t kNandStatusDone = 0x100;
constexpr uint32_t kNandStatusDoneCs1 = 0x080;
constexpr uint32_t kNandStatusChipReady = 0x800;

// Command word.
constexpr uint32_t kNandCommandBytesMask = 0xFFFF;
constexpr uint32_t kNandCommandCyclesShift = 16;
constexpr uint32_t kNandCommandCyclesMask = 0x7;
constexpr uint32_t kNandCommandTwoBytes = 1u << 19;
constexpr uint32_t kNandCommandTypeShift = 21;
constexpr uint32_t kNandCommandTypeMask = 0x7;
constexpr uint32_t kNandCommandSecondSelect = 1u << 24;
constexpr uint32_t kNandCommandAutoStatus = 1u << 25;  // read the chip's status after a program or erase

enum NandCommandType : uint32_t {
  kNandTypeRead = 0,
  kNandTypeProgram = 1,
  kNandTypeErase = 2,
  kNandTypeReadId = 3,
  kNandTypeReset = 5,
};

// Spare bytes a page transfer carries with control value `control`.
uint32_t NandControllerSpareBytes(uint32_t control);

// The configuration registers: they outlive a process, as the module's one
// controller does (kept in the module's shared memory).
struct NandControllerSetup {
  uint32_t control = 0;  // without the run bit
  uint32_t timing0 = 0;
  uint32_t timing1 = 0;
};

// Whether the timing registers leave the chip the pulse widths and read
// time it needs, at the controller clock `clockMhz`.
bool NandTimingSane(uint32_t timing0, uint32_t timing1, uint32_t clockMhz);

enum class NandPhase : uint8_t {
  Stopped,        // run bit clear
  CommandWanted,  // taking the three command buffer words
  ReadWait,       // the chip reads its array
  DataOut,        // the data buffer gives the page
  DataIn,         // the data buffer takes the page
  ChipBusy,       // the chip programs, erases or resets
  Stalled,        // a command the controller or chip refused: nothing more comes
  Done,
};

struct NandControllerCounters {
  uint64_t commandsStarted = 0;
  uint64_t unknownCommands = 0;   // command types the controller does not have
  uint64_t refusedCommands = 0;   // on a chip select without a chip
  uint64_t insaneTimings = 0;     // commands run under timings too short for the chip
  uint64_t strayAccesses = 0;     // data or command buffer accesses nothing waited for
};

struct NandController {
  // Set when the model opens.
  NandControllerSetup* setup = nullptr;
  NandChip* chips[2] = {};  // null for a chip select without a chip
  NandPowerCut* cut = nullptr;
  uint32_t clockMhz = 0;
  bool neverReady = false;

  uint32_t status = 0;
  NandPhase phase = NandPhase::Stopped;
  uint32_t words[3] = {};  // command word, address words 1 and 2
  uint32_t wordsTaken = 0;
  NandChip* chip = nullptr;  // of the running command
  bool secondSelect = false;  // the running command is on chip select 1
  uint32_t doneStatus = 0;   // correction bits reported with the end of a read
  uint32_t at = 0;           // next data buffer byte
  uint32_t length = 0;       // bytes of the data phase
  uint32_t chipBytes = 0;    // bytes moved to or from the chip
  bool ecc = false;          // correction on for the running command
  uint8_t buffer[kNandPageRecordBytes] = {};

  uint32_t tracedTiming0 = 0;  // the last insane pair reported
  uint32_t tracedTiming1 = 0;
  NandControllerCounters counters;
};

// The controller of a module that has just started: no command, status clear.
void NandControllerPowerUp(NandController* controller);

uint32_t NandControllerRead(NandController* controller, uint32_t offset);
// No command under way: stopped, or the last one ended.
bool NandControllerIdle(const NandController* controller);
void NandControllerWrite(NandController* controller, uint32_t offset, uint32_t value);
