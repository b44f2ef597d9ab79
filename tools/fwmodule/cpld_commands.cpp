// fwmodule cpld and the CPLD lines of fwmodule info.
#include <cinttypes>
#include <cstdio>

#include "cpld/version_word.h"
#include "module/cpld_model.h"
#include "module/module_image.h"
#include "platform/json.h"
#include "tools/common/format.h"
#include "tools/fwmodule/commands.h"
#include "tools/fwmodule/cpld_info.h"

namespace {

std::string ArrayState(const CpldArray& array) {
  if (CpldArrayBlank(array)) return "blank (erased)";
  return CpldArrayDone(array) ? "programmed" : "holds data, but its programming never finished (done bit erased)";
}

// As the program's CPLDVersion report reads the word.
std::string VersionText(uint32_t word) {
  if (word == CPLD_VERSION_NONE) return "no version: its row is erased";
  CpldVersion v = CpldVersionOf(word);
  std::string text = "version " + std::to_string(v.major) + "." + std::to_string(v.minor);
  if (v.beta) text += " BETA, Build " + std::to_string(v.build);
  return text;
}

}  // namespace

bool LoadModuleCpld(const Module& module, CpldArray* array, bool* fromFile, std::string* error) {
  if (!ModuleIsNand(module.config) || module.config.cpldIdcode == 0) {
    *error = "the module has no CPLD (a NAND board with cpld.idcode not 0 has one)";
    return false;
  }
  if (!CpldArrayLoad(ModuleCpldPath(module.dir), array, fromFile, error)) return false;
  if (!*fromFile) CpldArrayFactory(array, module.config.cpldUsercode);
  return true;
}

void PrintCpld(const Module& module) {
  const ModuleConfig& c = module.config;
  if (!ModuleIsNand(c)) return;
  if (c.cpldIdcode == 0) {
    std::printf("cpld        none (cpld.idcode = 0): TDO floats high\n");
    return;
  }
  CpldArray array;
  bool fromFile = false;
  std::string error;
  std::printf("cpld        IDCODE 0x%08" PRIX32 " (revision %" PRIu32 ")\n", c.cpldIdcode, c.cpldIdcode >> 28);
  if (!LoadModuleCpld(module, &array, &fromFile, &error)) {
    std::printf("            array unreadable (%s)\n", error.c_str());
    return;
  }
  uint32_t user = CpldArrayUsercode(array);
  std::printf("            USERCODE 0x%08" PRIX32 " (%s)\n", user, VersionText(user).c_str());
  std::printf("            array %s, digest %s%s\n", ArrayState(array).c_str(), CpldArrayDigest(array).c_str(),
              fromFile ? "" : " (factory firmware; no cpld.img yet)");
  if (!c.faultTdoStuck.empty()) std::printf("            fault: TDO held %s from outside\n", c.faultTdoStuck.c_str());
  if (c.faultCpldProgramFails) std::printf("            fault: programming does not stick\n");
  if (c.faultPowerCutAfterTck != 0) {
    std::printf("            fault: power cut after %" PRIu64 " TCK edges\n", c.faultPowerCutAfterTck);
  }
}

void JsonCpld(JsonWriter* w, const Module& module) {
  const ModuleConfig& c = module.config;
  if (!ModuleIsNand(c) || c.cpldIdcode == 0) return JsonNull(w, "cpld");
  JsonBeginObject(w, "cpld");
  JsonNumber(w, "idcode", c.cpldIdcode);
  CpldArray array;
  bool fromFile = false;
  std::string error;
  if (!LoadModuleCpld(module, &array, &fromFile, &error)) {
    JsonString(w, "error", error);
  } else {
    JsonNull(w, "error");
    uint32_t user = CpldArrayUsercode(array);
    JsonNumber(w, "usercode", user);
    JsonString(w, "version", VersionText(user));
    JsonString(w, "array", CpldArrayBlank(array) ? "blank" : CpldArrayDone(array) ? "programmed" : "unfinished");
    JsonString(w, "digest", CpldArrayDigest(array));
    JsonBool(w, "factory_firmware", !fromFile);
  }
  JsonEndObject(w);
}

int FwmoduleCpld(const std::vector<std::string>& args) {
  if (args.size() != 2 || args[1] != "--digest") return FwmoduleFail("cpld: name the module directory and --digest");
  Module module;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error)) return FwmoduleFail(error);
  CpldArray array;
  bool fromFile = false;
  if (!LoadModuleCpld(module, &array, &fromFile, &error)) return FwmoduleFail("cpld: " + error);
  std::printf("%s\n", CpldArrayDigest(array).c_str());
  return 0;
}
