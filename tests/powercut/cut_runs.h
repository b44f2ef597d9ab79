// The program run in child processes on virtual modules whose power goes,
// and the parts of a module's cells that tests compare after a cut.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module/module_config.h"

// What the models of an attached module have counted: flash commands (bus
// writes on NOR) and datasheet busy time, as the flash power cut counts
// them, and rising TCK edges, as the CPLD's does.
struct ModelCounts {
  uint64_t commands = 0;
  uint64_t busyUs = 0;
  uint64_t tckEdges = 0;
};

// A child's exit status (-1 when it did not exit) and, when its body
// returned, what the models had counted when it began (after the start and
// FWLInit) and when it ended.
struct ChildRun {
  int status = -1;
  ModelCounts atStart;
  ModelCounts atEnd;
};

// Exit status of a child that could not attach to its module.
constexpr int kChildNoModule = 3;

// Runs `body(context)` in a child process on the module in `dir`: the
// program's layers as at process start with the recording window system,
// the module attached, sleeps skipped, FWLInit called. The body's true or
// false becomes exit status 0 or 1, unless the power goes first. The child's
// output is appended to `log`.
ChildRun RunOnModule(const std::string& dir, bool (*body)(void* context), void* context, const std::string& log);

// The module comes up again after its power went: a cold restart as the
// module does it (the flash driver's shared state dropped, the live registry
// loaded from flash, the drivers started afresh). False when that did not
// end as a restart.
bool PowerUpModule(const std::string& dir, const std::string& log);

// `cp -a`, keeping a NAND module's sparse flash.img sparse.
bool CopyModule(const std::string& from, const std::string& to);

// A byte range of flash.img.
struct CellRange {
  uint64_t from = 0;
  uint64_t to = 0;
};

// The cells of the boot area: the bootloader's 256 KB on NOR; on NAND
// physical blocks 0 and 1, which hold the loader, the bootloader and the
// bad-block list page.
CellRange BootAreaCells(const ModuleConfig& config);
// NAND: the bad-block list page with its spare bytes.
CellRange ListPageCells();
// NAND: whether the reserve holds the marked copy the program keeps of the
// list page while block 0 is erased, with the data of `listCells`.
bool ListCopyHeld(const std::string& dir, const ModuleConfig& config, const std::string& listCells);
// The cells that hold the module's flash offsets [from, to): on NAND its
// pages through the block map the module's list page gives.
std::vector<CellRange> FlashCells(const std::string& dir, const ModuleConfig& config, uint32_t from, uint32_t to);

std::string CellBytes(const std::string& dir, CellRange range);
// Where two modules' flash.img first differ outside `skipped`, as text;
// empty when they do not.
std::string CellDifference(const std::string& a, const std::string& b, const std::vector<CellRange>& skipped);

// Whether a module restart finds a valid registry half, and the registry
// text it would load from flash (empty when none).
bool RegistryHalfValid(const std::string& dir);
std::string PersistentRegistryText(const std::string& dir);

// A host file's bytes; empty when it cannot be read.
std::string FileBytes(const std::string& path);
