#include "module/nand_os_driver.h"

#include "module/flash_lock.h"
#include "module/nand_model.h"

bool NandOsReadListPage(NandModel* model, uint8_t list[kNandPageBytes]) {
  NandResult r = NandModelReadPage(model, kNandListPage, list, nullptr, false);
  return r != NandResult::Failed && r != NandResult::NotReady;
}

bool NandOsStart(const Module& module, NandModel* model, std::string* error) {
  if (!module.config.nandOsDriver) return true;
  NandBlockMap map;
  if (!NandBlockMapOpenShared(ModuleShmPath(module.dir), &map, error)) return false;
  NamedMutex* held = ModuleFlashLock(module, error);
  bool ok = held != nullptr;
  // Whoever comes first this boot builds the map; everyone after finds it.
  if (ok && !NandBlockMapBuilt(map)) {
    uint8_t list[kNandPageBytes];
    ok = NandOsReadListPage(model, list) && NandBlockMapBuild(&map, list, NandModelChip(model)->blocks);
    if (!ok) *error = kNandListUnusable;
  }
  if (held != nullptr) ModuleFlashUnlock(held);
  NandBlockMapClose(&map);
  return ok;
}
