#include "tools/fwmodule/commands.h"

#include <cinttypes>
#include <cstdio>

#include "module/module_dir.h"
#include "module/nor_chips.h"

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "fwmodule: %s\n", message.c_str());
  return 1;
}

}  // namespace

int FwmoduleCreate(const std::vector<std::string>& args) {
  std::string dir, board = "nor";
  std::vector<std::string> settings;
  bool force = false;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--force") force = true;
    else if (args[i] == "--set" && i + 1 < args.size()) settings.push_back(args[++i]);
    else if (args[i] == "--board" && i + 1 < args.size()) board = args[++i];
    else if (args[i].rfind("--board=", 0) == 0) board = args[i].substr(8);
    else if (dir.empty() && args[i].rfind("--", 0) != 0) dir = args[i];
    else return Fail("create: unexpected argument '" + args[i] + "'");
  }
  if (dir.empty()) return Fail("create: name the module directory");
  ModuleConfig config;
  if (!ModuleConfigForBoard(board, &config)) return Fail("create: unknown board '" + board + "'");
  std::string error;
  for (const std::string& setting : settings) {
    if (!ModuleConfigAssign(&config, setting, &error)) return Fail(error);
  }
  if (!ModuleCreateFrom(dir, config, force, &error)) return Fail(error);
  std::printf("created %s module in %s\n", board.c_str(), dir.c_str());
  return 0;
}

int FwmoduleInfo(const std::vector<std::string>& args) {
  if (args.size() != 1) return Fail("info: name one module directory");
  Module module;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error)) return Fail(error);
  const ModuleConfig& c = module.config;
  uint32_t flashBytes = NorPairBytes(c.norDeviceCode);
  std::printf("module      %s\n", module.dir.c_str());
  std::printf("board       %s (processor part code %" PRIu32 ")\n", c.board.c_str(), c.cpuPartCode);
  std::printf("os          %" PRIu32 ".%" PRIu32 " build %" PRIu32 "\n", c.osMajor, c.osMinor, c.osBuild);
  std::printf("hardware    %" PRIu32 ".%" PRIu32 "\n", c.hwVersionMajor, c.hwVersionMinor);
  std::printf("flash       NOR pair, device code 0x%04" PRIX32 ", %" PRIu32 " MB (0x%08" PRIX32 " bytes), %s timing\n",
              c.norDeviceCode, flashBytes >> 20, flashBytes, c.timing == ModuleTiming::Fast ? "fast" : "realistic");
  std::printf("layout      OS image 0x%08" PRIX32 ", registry 0x%08" PRIX32 " (2 x 0x%" PRIX32 ")\n",
              c.layoutOsImageBase, c.layoutRegistryBase, c.layoutRegistryHalf);
  return 0;
}

int FwmoduleFault(const std::vector<std::string>& args) {
  if (args.size() < 2) return Fail("fault: name the module directory and at least one SECTION.KEY=VALUE");
  Module module;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error)) return Fail(error);
  for (size_t i = 1; i < args.size(); i++) {
    if (!ModuleConfigAssign(&module.config, args[i], &error)) return Fail(error);
  }
  // Written only when every setting was accepted, so a typo changes nothing.
  if (!ModuleConfigSave(ModuleIniPath(module.dir), module.config, &error)) return Fail(error);
  return 0;
}
