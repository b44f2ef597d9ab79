// The content a new module leaves the factory with.
#pragma once

#include <string>

#include "module/module_dir.h"

// Fills a freshly created module directory (whose module.ini is written):
// erased flash of the board's size, object store folders and files, and the
// factory registry, live and persistent.
bool FactoryInstall(const Module& module, std::string* error);
