// The board facts and fault settings of a virtual module, as module.ini holds them.
#pragma once

#include <cstdint>
#include <string>

enum class ModuleTiming { Fast, Realistic };

// What marks the bootloader's version in flash: the version record inside its
// ROM image, only the text banner of the older Ethernet bootloader, or no
// bootloader at all (erased).
enum class BootloaderKind { VersionRecord, Banner, None };

// Where the flash disk driver's registry key lives, if anywhere.
enum class FlashDiskKey { BuiltIn, BlockDevice, None };

// A build time stamp, UTC, written "YYYY-MM-DD hh:mm:ss" in module.ini.
struct ModuleDateTime {
  uint32_t year = 0;
  uint32_t month = 0;
  uint32_t day = 0;
  uint32_t hour = 0;
  uint32_t minute = 0;
  uint32_t second = 0;
};

// Where a two-stage board keeps its second bootloader unless told otherwise:
// right after the config block, with the OS image moved up behind it.
constexpr uint32_t kTwoStageSecondBootloaderBase = 0x00080000;
constexpr uint32_t kTwoStageSecondBootloaderRoom = 0x00080000;

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
  bool twoStage = false;          // a first bootloader hands over to a second one

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

  // [factory] what a new module's flash and registry hold
  BootloaderKind bootloader = BootloaderKind::VersionRecord;
  uint32_t bootloaderMajor = 1;
  uint32_t bootloaderMinor = 4;
  uint32_t bootloaderBuild = 0;   // beta build number, 0 for a release
  uint32_t secondBootloaderMajor = 1;
  uint32_t secondBootloaderMinor = 2;
  ModuleDateTime bootloaderBuilt = {2008, 11, 20, 9, 30, 0};
  ModuleDateTime osBuilt = {2009, 3, 5, 14, 3, 7};
  uint32_t osImageBytes = 0x00064000;
  uint32_t sscrBytes = 0;         // signature bytes after the OS image; 0: no signature record
  uint32_t configBlockBytes = 0x400;  // configuration bytes before the first erased word; 0: none
  FlashDiskKey flashDiskKey = FlashDiskKey::BuiltIn;
  std::string profileName = "Internal Flash";

  // [flash]
  uint32_t norDeviceCode = 0x0018; // device code of each chip of the NOR pair
  uint32_t nandChipId = 0;         // NAND boards only: maker code | device code << 8
  ModuleTiming timing = ModuleTiming::Fast;

  // [nand]
  bool nandOsDriver = true;        // the module's OS brings up its NAND driver (and the shared block map) at start
  std::string nandFactoryBad;      // physical blocks marked bad by the chip maker, remapped by the factory

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
  uint64_t faultPowerCutBusyUs = 0;  // end it once the flash has been busy this long, mid-job; 0 = never
  // NAND faults: lists of physical block or page numbers, comma-separated.
  std::string faultNandBadBlocks;       // blocks that go bad: every program and erase there fails
  std::string faultNandProgramFail;     // "B" fails from now on, "B@N" after N more programs of block B
  std::string faultNandEraseFail;       // "B" or "B@N": erases of block B fail (after N more)
  std::string faultNandCorrectable;     // pages that read with one flipped bit (correctable)
  std::string faultNandUncorrectable;   // pages that read with two flipped bits in one ECC step
  std::string faultTdoStuck;             // CPLD: "high" or "low" drives TDO from outside; empty: off
  bool faultCpldProgramFails = false;    // CPLD: programming leaves the array as it was (verify fails)
  uint64_t faultPowerCutAfterTck = 0;    // CPLD: end the process after this many rising TCK edges; 0 = never
  std::string faultBspNoItems;       // comma-separated board support items that deliver nothing
  std::string faultBspSetRefused;    // comma-separated board support items whose write is refused
  bool faultRestartReturns = false;  // the restart request returns instead of restarting

  // [trace]
  std::string traceFlashLog;  // file every flash write of every process is logged to (flash_log.h); empty: off
};

// Defaults for a named board; false for an unknown name.
bool ModuleConfigForBoard(const std::string& board, ModuleConfig* config);

// Reads module.ini. Missing keys keep the board's defaults; an unknown key, a
// malformed number or an unreadable file is an error with the line in `error`.
bool ModuleConfigLoad(const std::string& path, ModuleConfig* config, std::string* error);

// Writes module.ini with a comment for every setting, atomically.
bool ModuleConfigSave(const std::string& path, const ModuleConfig& config, std::string* error);

// Sets one "section.key" to a text value, as `fwmodule fault` and tests do.
// Turning board.two_stage on also gives the second bootloader its default base
// when it has none, and moves the OS image up when the two would collide.
bool ModuleConfigSet(ModuleConfig* config, const std::string& sectionKey, const std::string& value,
                     std::string* error);

// Reads "YYYY-MM-DD hh:mm:ss": a date that exists, from the year 1601 on.
bool ModuleDateTimeParse(const std::string& text, ModuleDateTime* out);
std::string ModuleDateTimeText(const ModuleDateTime& when);

// Seconds since 1970 (UTC) and back; false for a time the C library cannot hold.
int64_t ModuleDateTimeToUnix(const ModuleDateTime& when);
bool ModuleDateTimeFromUnix(int64_t seconds, ModuleDateTime* out);

// ModuleConfigSet for an assignment written "section.key=value".
bool ModuleConfigAssign(ModuleConfig* config, const std::string& assignment, std::string* error);
