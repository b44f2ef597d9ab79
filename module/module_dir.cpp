#include "module/module_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "module/board_support.h"
#include "module/device_manager.h"
#include "module/factory.h"
#include "module/factory_registry.h"
#include "module/nor_lock_store.h"

namespace fs = std::filesystem;

std::string ModuleIniPath(const std::string& dir) { return dir + "/module.ini"; }
std::string ModuleFlashPath(const std::string& dir) { return dir + "/flash.img"; }
std::string ModuleRegistryPath(const std::string& dir) { return dir + "/registry.reg"; }
std::string ModuleRootPath(const std::string& dir) { return dir + "/root"; }
std::string ModuleLocksPath(const std::string& dir) { return dir + "/locks"; }
std::string ModuleShmPath(const std::string& dir) { return dir + "/shm"; }
std::string ModuleCpldPath(const std::string& dir) { return dir + "/cpld.img"; }

std::string ModuleDefaultDir() {
  if (const char* env = std::getenv("FLASHWRIGHT_MODULE"); env && *env) return env;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return std::string(xdg) + "/flashwright/module";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/share/flashwright/module";
}

namespace {

std::string Absolute(const std::string& dir) {
  std::error_code ec;
  fs::path p = fs::absolute(dir, ec);
  return ec ? dir : p.lexically_normal().string();
}

bool HoldsModule(const std::string& dir) {
  struct stat st;
  return ::stat(ModuleIniPath(dir).c_str(), &st) == 0;
}

bool MakeDirs(const std::string& path, std::string* error) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) {
    *error = "cannot create " + path + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

bool ModuleCreate(const std::string& dir, const std::string& board, bool overwrite, std::string* error) {
  ModuleConfig config;
  if (!ModuleConfigForBoard(board, &config)) {
    *error = "unknown board '" + board + "'";
    return false;
  }
  return ModuleCreateFrom(dir, config, overwrite, error);
}

bool ModuleCreateFrom(const std::string& dirIn, const ModuleConfig& config, bool overwrite, std::string* error) {
  std::string dir = Absolute(dirIn);
  Module module;
  module.dir = dir;
  module.config = config;
  if (HoldsModule(dir)) {
    if (!overwrite) {
      *error = dir + " already holds a module (use --force to replace it)";
      return false;
    }
    // Replace only what a module consists of; anything else the user keeps
    // there stays, and so do the files of the object store (backups in
    // \Temp): the factory's own files are laid down over them again.
    std::error_code ec;
    for (const std::string& part :
         {ModuleFlashPath(dir), NorLockStorePath(ModuleFlashPath(dir)), ModuleRegistryPath(dir),
          ModuleRegistryPath(dir) + ".lock", FactoryRegistryPath(dir), DeviceTablePath(dir), BoardEventsLogPath(dir),
          ModuleCpldPath(dir), ModuleLocksPath(dir), ModuleShmPath(dir), ModuleIniPath(dir)}) {
      fs::remove_all(part, ec);
    }
  } else if (std::error_code ec; fs::exists(dir, ec) && !fs::is_empty(dir, ec)) {
    // A folder of other files is no module to be: a typo must not fill it.
    *error = dir + " is not empty and holds no module: give an empty or new folder";
    return false;
  }
  std::error_code ec;
  bool existed = fs::exists(dir, ec);
  bool fresh = !HoldsModule(dir);
  bool made = true;
  for (const std::string& d : {dir, ModuleRootPath(dir), ModuleLocksPath(dir), ModuleShmPath(dir)}) {
    made = made && MakeDirs(d, error);
  }
  made = made && ModuleConfigSave(ModuleIniPath(dir), module.config, error) && FactoryInstall(module, error);
  // A folder that held nothing before holds nothing after a failed create:
  // no half-made module for the next run to open.
  if (!made && fresh) {
    if (existed) {
      for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
    } else {
      fs::remove_all(dir, ec);
    }
  }
  return made;
}

bool ModuleOpen(const std::string& dirIn, Module* module, std::string* error) {
  std::string dir = Absolute(dirIn);
  if (!HoldsModule(dir)) {
    *error = dir + " holds no module (create one with: fwmodule create " + dir + ")";
    return false;
  }
  module->dir = dir;
  return ModuleConfigLoad(ModuleIniPath(dir), &module->config, error);
}

bool ModuleOpenOrCreate(const std::string& dir, Module* module, std::string* error) {
  // Another process may create it at the same moment; its module is as good.
  if (!HoldsModule(Absolute(dir)) && !ModuleCreate(dir, "nor", false, error) && !HoldsModule(Absolute(dir))) {
    return false;
  }
  return ModuleOpen(dir, module, error);
}
