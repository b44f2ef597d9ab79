// Model of the 64-macrocell CPLD on the NAND boards' JTAG pins: its TAP
// (jtag_tap.h) with the in-system programming instructions the vendor's
// programming files use, over the configuration array (cpld_array.h) kept
// in cpld.img. docs/cpld-model.md has the instruction set and registers.
//
// Not modelled:
// - the logic the configuration describes: the device never runs its
//   macrocells, so pins other than the JTAG wires see nothing of it;
// - programming and erase times: an erase or a row program takes effect at
//   Update-DR, however little time the stream then waits in Run-Test/Idle,
//   and reaches cpld.img there, so it outlives the process whatever happens next;
// - boundary scan (SAMPLE/PRELOAD, EXTEST, INTEST, HIGHZ, CLAMP select
//   BYPASS), the on-the-fly SRAM writes and the security bits: a read of a
//   protected device reads like any other;
// - ISC_INIT's loading of the configuration into the logic (it changes
//   nothing), and two programs using the JTAG port at once: each process
//   loads cpld.img when it opens the model, and the last one to save wins.
#pragma once

#include <cstdint>
#include <string>

#include "module/cpld_array.h"
#include "module/jtag_tap.h"
#include "module/module_config.h"

struct CpldModel;

// The process ends with this code when the TCK power-cut fault strikes: with
// power_cut_after_tck = N, N rising TCK edges reach the CPLD and the next one
// ends the process before it acts (counted per open model). The array keeps
// what the erase and the rows programmed before it made of it (cpld.img is
// written then), as the device's non-volatile cells would.
constexpr int kCpldPowerCutExitCode = 75;

// In-system programming instructions (8 bits, like the port's own).
constexpr uint8_t kCpldIscEnableOtf = 0xE4;
constexpr uint8_t kCpldIscEnable = 0xE8;
constexpr uint8_t kCpldIscErase = 0xED;
constexpr uint8_t kCpldIscProgram = 0xEA;
constexpr uint8_t kCpldIscRead = 0xEE;
constexpr uint8_t kCpldIscInit = 0xF0;
constexpr uint8_t kCpldIscDisable = 0xC0;
// ISC_PROGRAM and ISC_READ share one register: the row's data next to TDO,
// the row address next to TDI (sent after the data).
constexpr uint32_t kCpldDataRegisterBits = kCpldRowBits + kCpldAddressBits;
// ISC_ENABLE, ISC_ENABLE_OTF, ISC_ERASE, ISC_INIT and ISC_DISABLE take no
// data: a one-bit register that captures 0.
constexpr uint32_t kCpldIscDefaultBits = 1;

struct CpldCounters {
  uint64_t erases = 0;
  uint64_t rowsProgrammed = 0;
  uint64_t rowsRead = 0;
  uint64_t refused = 0;           // erase, program or read outside ISC mode, or a program the fault dropped
  uint64_t unknownAddresses = 0;  // program or read of an address no row has
  uint64_t saveFailures = 0;
};

// False with `error` when the CPLD settings (faults.tdo_stuck) make no module.
bool CpldCheckConfig(const ModuleConfig& config, std::string* error);

// The CPLD of a module: its array from `path` (cpld.img), or the factory's
// when the file does not exist; IDCODE and faults from `config`. Null with
// `error` for a damaged file.
CpldModel* CpldModelOpen(const std::string& path, const ModuleConfig& config, std::string* error);
// Saves the array first when it changed or was not synced since the last save.
void CpldModelClose(CpldModel* model);

JtagTap* CpldModelTap(CpldModel* model);
const CpldArray& CpldModelArray(const CpldModel* model);
CpldCounters CpldModelCounters(const CpldModel* model);
bool CpldModelInIscMode(const CpldModel* model);
// Replaces the array, as a programmer with its own access to the cells
// would (saved like a change made over JTAG).
void CpldModelSetArray(CpldModel* model, const CpldArray& array);

// Writes and syncs cpld.img now when the array changed since, or was only
// written through since (each erase and row program writes it at once;
// ISC_DISABLE and closing sync it).
bool CpldModelSave(CpldModel* model, std::string* error);

// The factory's cpld.img for a new module of `config` (nothing when it has no CPLD).
bool CpldFactoryInstall(const std::string& path, const ModuleConfig& config, std::string* error);
