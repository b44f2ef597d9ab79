// The content a new module leaves the factory with.
#pragma once

#include <string>

#include "module/module_dir.h"
#include "module/module_flash.h"

// Lays the flash content in front of the registry into erased `flash`, as the
// [factory] and layout settings of `config` say: the bootloader (version
// record, banner, or none; the first of two stages on a two-stage board), the
// second bootloader, the config block, and the OS image with its optional
// signature record. Nothing is written when the settings do not make a module
// (regions that overlap or leave the flash, sizes an image cannot have); the
// reason is in `error`.
bool FactoryLayFlash(const ModuleConfig& config, const ModuleFlash& flash, std::string* error);

// Fills a freshly created module directory (whose module.ini is written):
// flash of the board's size with the content above, object store folders and
// files, the factory registry, live and persistent, and the flash disk's store
// (formatted, one partition, some sectors in use) when the registry has a
// flash disk driver. On failure module.ini
// is removed again, so the directory holds no half-made module.
bool FactoryInstall(const Module& module, std::string* error);
