// The board facts and fault settings of a virtual module, as module.ini holds them.
#pragma once

#include <cstdint>
#include <string>

enum class ModuleTiming { Fast, Realistic };

struct ModuleConfig {
  // [board]
  std::string board = "nor";      // board name the module was created with
  uint32_t cpuPartCode = 17;      // processor main ID part code: 17 NOR, 2/8/9 NAND
  bool cpuPrivileged = false;     // programs run in a privileged processor mode, not user mode
  uint32_t osMajor = 5;
  uint32_t osMinor = 0;
  uint32_t osBuild = 1400;
  uint32_t hwVersionMajor = 1;
  uint32_t hwVersionMinor = 2;

  // [bsp] board support answers
  uint64_t bspItem0 = 0;           // configuration item 0 (8 bytes)
  uint32_t bspItem12 = 0;          // configuration item 12 (4 bytes)
  uint32_t layoutOsImageBase = 0x00080000;
  uint32_t layoutRegistryBase = 0x01400000;
  uint32_t layoutRegistryHalf = 0x00040000;
  uint32_t layoutSecondBootloaderBase = 0;
  uint32_t imageFamily = 1;
  uint32_t imageMajor = 3;
  uint32_t imageMinor = 7;
  uint32_t imageBuild = 1;

  // [flash]
  uint32_t norDeviceCode = 0x0018; // device code of each chip of the NOR pair
  uint32_t nandChipId = 0;         // NAND boards only
  ModuleTiming timing = ModuleTiming::Fast;

  // [cpld]
  uint32_t cpldIdcode = 0;
  uint32_t cpldUsercode = 0;

  // [faults] every fault is off by default
  int64_t faultLockedBlock = -1;     // flash offset of a block that will not unlock
  int64_t faultEraseErrorBlock = -1; // block whose erase reports error bits
  int64_t faultProgramErrorAt = -1;  // flash offset whose program reports error bits
  int64_t faultWeakProgramAt = -1;   // flash offset whose program silently leaves bits set
  bool faultNeverReady = false;      // the chip never reports ready
  uint64_t faultPowerCutAfter = 0;   // end the process after this many flash commands; 0 = never
  std::string faultBspNoItems;       // comma-separated board support items that deliver nothing
  bool faultRestartReturns = false;  // the restart request returns instead of restarting
};

// Defaults for a named board; false for an unknown name.
bool ModuleConfigForBoard(const std::string& board, ModuleConfig* config);

// Reads module.ini. Missing keys keep the board's defaults; an unknown key, a
// malformed number or an unreadable file is an error with the line in `error`.
bool ModuleConfigLoad(const std::string& path, ModuleConfig* config, std::string* error);

// Writes module.ini with a comment for every setting, atomically.
bool ModuleConfigSave(const std::string& path, const ModuleConfig& config, std::string* error);

// Sets one "section.key" to a text value, as `fwmodule fault` and tests do.
bool ModuleConfigSet(ModuleConfig* config, const std::string& sectionKey, const std::string& value,
                     std::string* error);

// ModuleConfigSet for an assignment written "section.key=value".
bool ModuleConfigAssign(ModuleConfig* config, const std::string& assignment, std::string* error);
