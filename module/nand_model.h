// Model of a PXA3xx module's NAND flash: the processor's data flash
// controller (registers at physical 0x43100000, nand_controller.h) in front
// of one of the chips of nand_chips.h (nand_chip.h, a die per chip select),
// cells in flash.img (nand_array.h). docs/nand-model.md has the whole story.
//
// Not modelled:
// - the controller's interrupts (the low 12 control bits are kept, nothing
//   more), DMA, its 16-bit bus mode and the per-chip-select timing registers
//   of the second chip select (both selects use timing 0 and 1);
// - the pages-per-block control bit: addresses go to the chip as written;
// - correction and spare transfer with 512-byte pages (control bit 24 clear):
//   such a read or program moves the first 512 bytes of the page only;
// - the chip's cache, copy-back, random data in/out, multi-plane and
//   one-time-programmable commands (taken as unknown), and its lock pins;
// - a timing set-up too short for the chip is counted, not acted on;
// - a program or erase that fails leaves the cells as they were, and a cut
//   program leaves whole bytes done or untouched, never single bits;
// - each process powers its own controller state and dies up; only the
//   configuration registers and the cells are shared.
#pragma once

#include <cstdint>
#include <string>

#include "module/module_config.h"
#include "module/nand_chips.h"
#include "module/phys_bus.h"

struct NandModel;

constexpr uint32_t kNandControllerPhysBase = 0x43100000;
// Bytes of the controller's register window on the bus.
constexpr uint32_t kNandControllerBusBytes = 0x1000;
// Spare bytes a transfer carries with error correction on: the controller
// keeps the rest of the 64 for its own correction code.
constexpr uint32_t kNandEccSpareBytes = 40;

// The process ends with this code when a power-cut fault strikes (the same
// as on the NOR board). With power_cut_after = N, N flash commands (each
// command started through the command buffer, and each page read, page
// program and block erase of the module's own driver) take effect and the
// next one ends the process before it does. With power_cut_busy_us = N, the
// read, program, erase or reset during which the chip's busy time, by its
// datasheet times, passes N us is cut there: a program has the start of its
// page record programmed, an erase the first pages of its block erased. A
// program or erase under way in realistic timing when the power goes is
// left as far as it got the same way. Both counted per open model.
constexpr int kNandPowerCutExitCode = 75;

// False with `error` set when no chip has the configured identification or a
// fault names a block or page the chip does not have.
bool NandModelCheckConfig(const ModuleConfig& config, std::string* error);

// Maps flash.img and powers the controller and chip up. Null with `error` set on failure.
NandModel* NandModelOpen(const std::string& flashPath, const std::string& shmDir, const ModuleConfig& config,
                         std::string* error);
void NandModelClose(NandModel* model);
// The controller's set-up (control and timing registers) outlives a process,
// as the one controller of the module does; a module restart powers it off.
void NandModelPowerOff(const std::string& shmDir);

// What the module's OS driver does when the module starts: unless the
// controller already has a configuration, sets it up for the chip (its
// control bits, the slowest timings).
void NandModelOsDriverSetUp(NandModel* model);

// The bus side: register at kNandControllerPhysBase with this table and `model`.
const BusDeviceOps* NandModelBusOps();
const NandChipType* NandModelChip(const NandModel* model);
// Programs and erases of the module's cells so far, by every process on the
// module (cell_changes.h): what was read of the cells still holds while the
// count stays the same. False while no count is attached.
bool NandModelCellChanges(const NandModel* model, uint64_t* count);

// What tests look at to see how a driver treated the controller and chip.
struct NandCounters {
  uint64_t commandsStarted = 0;   // what power_cut_after counts
  uint64_t busyUs = 0;            // what power_cut_busy_us counts: datasheet time busy so far
  uint64_t unknownCommands = 0;   // command types, command bytes and cycles nothing took
  uint64_t refusedCommands = 0;   // a chip select without a chip, a page the die lacks
  uint64_t insaneTimings = 0;     // commands run under timings too short for the chip
  uint64_t strayAccesses = 0;     // data or command buffer accesses nothing waited for
  uint64_t ignoredWhileBusy = 0;  // chip cycles refused while it programmed or erased
};
NandCounters NandModelCounters(const NandModel* model);

// The chip as the module's own OS driver reaches it, page and block at a
// time, with the chip's faults, timing and power cut as through the registers.
enum class NandResult : uint8_t {
  Ok,
  Corrected,      // a read whose bit error the correction code repaired
  Uncorrectable,  // a read with more flipped bits than the code repairs; data as read
  Failed,         // the chip reported a failed program or erase
  NotReady,       // the chip never became ready
};

// A page or block the chip does not have is Failed without reaching the chip.

// `data` 2048 bytes and `spare` 64 bytes, either may be null. With `ecc` the
// data is checked against the correction code in spare bytes 40-63 as the
// controller checks it (a page whose code bytes are all 0xFF, an erased one
// too, is uncorrectable).
NandResult NandModelReadPage(NandModel* model, uint32_t page, uint8_t* data, uint8_t* spare, bool ecc);
// Programs `data` (null: left erased) and the first `spareBytes` of `spare`;
// with `ecc` the controller's code over the page's data goes into bytes 40-63.
NandResult NandModelProgramPage(NandModel* model, uint32_t page, const uint8_t* data, const uint8_t* spare,
                                uint32_t spareBytes, bool ecc);
NandResult NandModelEraseBlock(NandModel* model, uint32_t block);
