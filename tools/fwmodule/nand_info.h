// fwmodule info on a NAND board: the chip, its reserve and bad blocks, and
// the boot state its OS driver keeps (the shared block map).
#pragma once

#include "module/module_dir.h"
#include "module/module_image.h"

// The "flash" lines: chip, geometry, reserve, usable size, timing.
void PrintNandChip(const ModuleConfig& config);
// The bad blocks as the chip maker marked them and as the list page moved
// them, and whether the shared block map is built this boot.
void PrintNandTables(const Module& module, const ModuleImage& image);
