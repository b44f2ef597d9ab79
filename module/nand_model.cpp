#include "module/nand_model.h"

#include <cstring>
#include <new>

#include "module/nand_array.h"

struct NandModel {
  NandArray array;
};

bool NandModelCheckConfig(const ModuleConfig& config, std::string* error) {
  if (NandChipTypeOf(config.nandChipId) == nullptr) {
    *error = "no NAND chip has the identification in module.ini";
    return false;
  }
  return true;
}

NandModel* NandModelOpen(const std::string& flashPath, const std::string&, const ModuleConfig& config,
                         std::string* error) {
  if (!NandModelCheckConfig(config, error)) return nullptr;
  auto* m = new (std::nothrow) NandModel;
  if (m == nullptr) {
    *error = "out of memory";
    return nullptr;
  }
  if (!NandArrayOpen(flashPath, NandChipTypeOf(config.nandChipId), &m->array, error)) {
    delete m;
    return nullptr;
  }
  return m;
}

void NandModelClose(NandModel* model) {
  NandArrayClose(&model->array);
  delete model;
}

void NandModelPowerOff(const std::string&) {}

namespace {

uint32_t NoRead(void*, uint32_t) { return 0xFFFFFFFF; }
void NoWrite(void*, uint32_t, uint32_t) {}
const BusDeviceOps kOps = {NoRead, NoWrite, nullptr};

}  // namespace

const BusDeviceOps* NandModelBusOps() { return &kOps; }
const NandChipType* NandModelChip(const NandModel* model) { return model->array.chip; }

NandResult NandModelReadPage(NandModel* model, uint32_t page, uint8_t* data, uint8_t* spare, bool) {
  if (data != nullptr) NandArrayRead(&model->array, page, 0, data, kNandPageBytes);
  if (spare != nullptr) NandArrayRead(&model->array, page, kNandPageBytes, spare, kNandSpareBytes);
  return NandResult::Ok;
}

NandResult NandModelProgramPage(NandModel* model, uint32_t page, const uint8_t* data, const uint8_t* spare,
                                uint32_t spareBytes, bool) {
  if (data != nullptr) NandArrayProgram(&model->array, page, 0, data, kNandPageBytes);
  if (spare != nullptr) NandArrayProgram(&model->array, page, kNandPageBytes, spare, spareBytes);
  return NandResult::Ok;
}

NandResult NandModelEraseBlock(NandModel* model, uint32_t block) {
  NandArrayErase(&model->array, block);
  return NandResult::Ok;
}
