#include "module/nand_os_driver.h"

#include "module/flash_lock.h"
#include "module/nand_model.h"

namespace {

// As a driver sets the controller up: through its registers, so that a
// program that finds the map built adopts this set-up.
void SetUpController(NandModel* model) {
  const BusDeviceOps* bus = NandModelBusOps();
  bus->write32(model, kNandControlRegister, NandModelChip(model)->controlBits | kNandControlAlwaysSet);
  bus->write32(model, kNandTiming0Register, kNandOsTiming0);
  bus->write32(model, kNandTiming1Register, kNandOsTiming1);
}

}  // namespace

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
    SetUpController(model);
    uint8_t list[kNandPageBytes];
    ok = NandOsReadListPage(model, list) && NandBlockMapBuild(&map, list, NandModelChip(model)->blocks);
    if (!ok) *error = "the NAND chip's bad-block list (physical page 63) is unreadable or has no header";
  }
  if (held != nullptr) ModuleFlashUnlock(held);
  NandBlockMapClose(&map);
  return ok;
}
