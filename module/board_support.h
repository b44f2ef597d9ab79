// The module's board support: the facts and actions the board's kernel
// answers through kernel I/O control, taken from and kept in the module
// directory. Every request reads module.ini afresh, so a fault set with
// `fwmodule fault`, or an item another process stored, counts at once.
#pragma once

#include <cstdint>
#include <string>

#include "module/module_flash.h"

// Items of the information request.
constexpr uint32_t kBoardItemConfig0 = 0;      // 8 bytes, kept in module.ini
constexpr uint32_t kBoardItemFlashLayout = 5;  // 24 bytes, six words
constexpr uint32_t kBoardItemHwVersion = 8;    // 8 bytes: major | minor << 16, then 0
constexpr uint32_t kBoardItemConfig12 = 12;    // 4 bytes, kept in module.ini

constexpr uint32_t kBoardImageVersionBytes = 12;  // family, major, minor | build << 16

// Bytes item `item` holds; 0 for an item the board does not know.
uint32_t BoardItemSize(uint32_t item);

// Copies the first min(size, item size) bytes of the item into `buffer` and
// sets `delivered`. False with nothing delivered for an unknown item, an item
// listed in faults.bsp_no_items, or an unreadable module.
bool BoardGetInfo(const std::string& moduleDir, uint32_t item, void* buffer, uint32_t size, uint32_t* delivered,
                  std::string* error);

// Stores item 0, 8 or 12 into module.ini; `size` must cover the item.
bool BoardSetInfo(const std::string& moduleDir, uint32_t item, const void* buffer, uint32_t size, std::string* error);

// Fills the 12-byte version record of the running OS image.
bool BoardGetImageVersion(const std::string& moduleDir, uint8_t out[kBoardImageVersionBytes], std::string* error);

// Drops the persistent registry: both halves are invalidated.
bool BoardClearRegistry(const std::string& moduleDir, const ModuleFlash& flash, std::string* error);

// The module's restart log, one line per restart request.
std::string BoardEventsLogPath(const std::string& moduleDir);

// The status a process ends with when the module restarts under it: a script
// tells "restarted" (the switches before the restart succeeded) from 1
// (success) and 0 (failure).
constexpr int kModuleRestartExitStatus = 3;

// Restarts the module: appends the event to events.log, restarts the flash
// driver (ModuleFlashOps::restart: on NAND the controller powers off and the
// shared block map goes, for the next start to build again), reloads the live registry from the
// persistent copy (the factory registry when none is valid), boots the OS
// image the flash holds (module/running_image.h: its version and build date
// become the running image's; without one the bootloader's)
// and ends the process with kModuleRestartExitStatus, as the module's reset would; the line
// "module restarted (warm|cold)" goes to standard error. Returns only when the
// module did not restart (faults.restart_returns, which still logs the
// attempt, or an unreadable module), with the reason in `error`. Other
// processes on the module keep running: only the caller is ended.
void BoardRestart(const std::string& moduleDir, const ModuleFlash& flash, bool cold, bool cleanBoot,
                  std::string* error);
