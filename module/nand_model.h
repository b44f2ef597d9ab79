// Model of a PXA3xx module's NAND flash: the processor's data flash
// controller (registers at physical 0x43100000) in front of one of the
// chips of nand_chips.h, cells in flash.img (nand_array.h).
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

// The bus side: register at kNandControllerPhysBase with this table and `model`.
const BusDeviceOps* NandModelBusOps();
const NandChipType* NandModelChip(const NandModel* model);

// The chip as the module's own OS driver reaches it, page and block at a
// time, with the chip's faults, timing and power cut as through the registers.
enum class NandResult : uint8_t {
  Ok,
  Corrected,      // a read whose bit error the correction code repaired
  Uncorrectable,  // a read with more flipped bits than the code repairs; data as read
  Failed,         // the chip reported a failed program or erase
  NotReady,       // the chip never became ready
};

// `data` 2048 bytes and `spare` 64 bytes, either may be null. With `ecc` the
// data is checked against the correction code in spare bytes 40-63 (a page
// whose code bytes are all 0xFF carries none and is not checked).
NandResult NandModelReadPage(NandModel* model, uint32_t page, uint8_t* data, uint8_t* spare, bool ecc);
// Programs `data` (null: left erased) and the first `spareBytes` of `spare`;
// with `ecc` the controller's code over the page's data goes into bytes 40-63.
NandResult NandModelProgramPage(NandModel* model, uint32_t page, const uint8_t* data, const uint8_t* spare,
                                uint32_t spareBytes, bool ecc);
NandResult NandModelEraseBlock(NandModel* model, uint32_t block);
