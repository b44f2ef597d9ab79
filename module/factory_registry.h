// The registry a new module leaves the factory with: the flash disk
// driver's keys and its storage profile.
#pragma once

#include <string>

#include "module/module_dir.h"
#include "module/module_flash.h"
#include "module/registry_store.h"

// factory.reg in the module directory: the factory registry kept for the
// reload after a registry clear.
std::string FactoryRegistryPath(const std::string& moduleDir);

// The factory registry for the board in `config`; false when the board's
// flash size is unknown or leaves no room for the file system.
bool FactoryRegistryBuild(const ModuleConfig& config, RegistryData* data, std::string* error);

// The module's factory registry: factory.reg when it is there, else built
// from module.ini.
bool FactoryRegistryLoad(const Module& module, RegistryData* data, std::string* error);

// Writes registry.reg, factory.reg and the persistent copy in `flash`.
bool FactoryRegistryInstall(const Module& module, const ModuleFlash& flash, std::string* error);
