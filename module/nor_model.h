// Model of the module's NOR flash: two 16-bit chips with the Intel command
// set side by side on the 32-bit bus, contents in flash.img.
#pragma once

#include <cstdint>
#include <string>

#include "module/module_config.h"
#include "module/module_flash.h"
#include "module/nor_geometry.h"
#include "module/phys_bus.h"

struct NorModel;

// The process ends with this code when a power-cut fault strikes: with
// power_cut_after = N, N bus writes take effect and the next one ends the
// process before it does; with power_cut_busy_us = N, the program or erase
// during which the pair's busy time passes N µs is cut there (both counted
// per open model).
constexpr int kNorPowerCutExitCode = 75;

// False with `error` set when no chip has the configured device code or a
// fault offset lies past the end of the flash: the model would not open.
bool NorModelCheckConfig(const ModuleConfig& config, std::string* error);

// Maps flash.img and powers the pair up in read array mode, with the lock
// bits of its family (see nor_model.cpp). Programs and erases count in the
// module's count of cell changes under `shmDir` (flash_image.h); an empty
// `shmDir` counts nowhere. Null with `error` set on failure.
NorModel* NorModelOpen(const std::string& flashPath, const std::string& shmDir, const ModuleConfig& config,
                       std::string* error);
// A program or erase still under way runs to its end first.
void NorModelClose(NorModel* model);

// The bus side: register at physical address 0 with this table and `model`.
const BusDeviceOps* NorModelBusOps();
uint32_t NorModelBusBytes(const NorModel* model);
// Block layout and buffer size of each chip of the pair.
const NorGeometry* NorModelGeometry(const NorModel* model);

// The module's own access to the flash through the chips' command set, as
// the module's OS flash driver has it (unlocks the blocks it touches).
ModuleFlash NorModelModuleFlash(NorModel* model);
// Programs and erases of the cells so far, by every process on the module:
// what was read still holds while the count stays the same. False where the
// model counts nowhere.
bool NorModelCellChanges(const NorModel* model, uint64_t* count);

// What tests look at to see how a driver treated the chips.
struct NorChipCounters {
  uint64_t unknownCommands = 0;   // writes no state took as a command
  uint64_t ignoredWhileBusy = 0;  // commands refused while programming or erasing
};
NorChipCounters NorModelChipCounters(const NorModel* model, uint32_t chip);
// Bus writes taken so far (what the power-cut fault counts).
uint64_t NorModelCommandWrites(const NorModel* model);
// Datasheet time the pair has been busy with programs and erases since it
// powered up: in realistic timing, or in fast timing with a busy-time power
// cut set; otherwise none.
uint64_t NorModelBusyUs(const NorModel* model);
