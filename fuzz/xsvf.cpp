// XSVF streams played into the CPLD of a NAND board module: the input is the
// stream. Whatever the stream does, nothing but the CPLD's array (cpld.img)
// may change, and the device must still identify itself afterwards: the
// player leaves the port in a known state on every path.
#include <string>

#include "cpld/cpld.h"
#include "fuzz/support/fuzz_module.h"

namespace {

constexpr const char* kCpldFile = "cpld.img";

bool g_made = false;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!g_made) {
    FuzzModuleMake("nand");
    g_made = true;
  } else {
    FuzzModuleRestore();
  }
  if (CpldInit() != CPLD_OK) FuzzFail("the CPLD does not identify itself before the stream");
  uint32_t result = CpldProgram(data, static_cast<uint32_t>(size), CPLD_MODE_PLAIN);
  CpldRelease();
  if (CpldInit() != CPLD_OK) FuzzFail("the CPLD does not identify itself after the stream (%u)", result);
  CpldRelease();
  if (!FuzzFlashChanges().empty()) FuzzFail("the stream (%u) changed the flash", result);
  for (const std::string& file : FuzzFileChanges()) {
    if (file != kCpldFile) FuzzFail("the stream (%u) changed %s", result, file.c_str());
  }
  return 0;
}
