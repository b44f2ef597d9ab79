// What a NAND module's chip holds before anything is written through the
// logical flash: the bad blocks the chip maker marked, and the list page the
// module's OS driver writes when it first meets the chip, moving every bad
// block of the usable range into the reserve.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module/module_dir.h"

// [nand] factory_bad_blocks as physical blocks, ascending, each once. False,
// with the reason, for a malformed list, a block the chip does not have, a
// boot block (0 and 1 hold the loader and the list page) or more bad blocks
// of the usable range than the reserve can take.
bool FactoryNandBadBlocks(const ModuleConfig& config, std::vector<uint32_t>* blocks, std::string* error);

// Makes flash.img an erased chip with those blocks marked (the first spare
// byte of their first two pages cleared) and the list page that remaps them:
// one entry per bad block of the usable range, its replacement taken from
// the top of the reserve, and a cancelled entry for each bad block inside the
// reserve, so that none is ever handed out.
bool FactoryNandCells(const Module& module, std::string* error);
