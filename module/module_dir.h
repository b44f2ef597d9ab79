// A virtual module's directory: create it with factory content, open it, and
// name the files inside it.
#pragma once

#include <string>

#include "module/module_config.h"

struct Module {
  std::string dir;  // absolute path of the module directory
  ModuleConfig config;
};

// $FLASHWRIGHT_MODULE, else $XDG_DATA_HOME/flashwright/module, else
// ~/.local/share/flashwright/module.
std::string ModuleDefaultDir();

// Builds a new module with the factory content of `board`. Refuses a directory
// that already holds a module unless `overwrite` is set.
bool ModuleCreate(const std::string& dir, const std::string& board, bool overwrite, std::string* error);

// As ModuleCreate, with every board fact given (a board's defaults with some
// settings changed), so the factory content follows them.
bool ModuleCreateFrom(const std::string& dir, const ModuleConfig& config, bool overwrite, std::string* error);

// Opens an existing module and reads its module.ini.
bool ModuleOpen(const std::string& dir, Module* module, std::string* error);

// Opens the module, creating it with the default board when the directory
// holds none yet.
bool ModuleOpenOrCreate(const std::string& dir, Module* module, std::string* error);

// Paths of the module's parts.
std::string ModuleIniPath(const std::string& dir);
std::string ModuleFlashPath(const std::string& dir);     // flash.img
std::string ModuleRegistryPath(const std::string& dir);  // registry.reg
std::string ModuleRootPath(const std::string& dir);      // root/ (object store)
std::string ModuleLocksPath(const std::string& dir);     // locks/
std::string ModuleShmPath(const std::string& dir);       // shm/
std::string ModuleCpldPath(const std::string& dir);      // cpld.img
