// XSVF streams played into the CPLD of a NAND board module: the input is the
// stream. Whatever the stream does, nothing but the CPLD's array (cpld.img)
// may change, and the device must still identify itself afterwards: the
// player leaves the port in a known state on every path. The check a stream
// gets before an update plays it must agree: what it refuses for the
// stream's own fault, the player fails too.
#include <string>

#include "cpld/cpld.h"
#include "cpld/xsvf.h"
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
  XsvfCheckResult checked{};
  uint32_t verdict = XsvfCheck(data, static_cast<uint32_t>(size), &checked);
  uint32_t result = CpldProgram(data, static_cast<uint32_t>(size), CPLD_MODE_PLAIN);
  // Data after XCOMPLETE and long waits are refused, but a player gets through them.
  bool streamFault = verdict != XSVF_OK && verdict != XSVF_ERR_TRAILING_DATA && verdict != XSVF_ERR_WAITS_TOO_LONG;
  if (streamFault && result == CPLD_OK) {
    FuzzFail("the check refused the stream (%u at byte %u) but it played", verdict, checked.offset);
  }
  CpldRelease();
  if (CpldInit() != CPLD_OK) FuzzFail("the CPLD does not identify itself after the stream (%u)", result);
  CpldRelease();
  if (!FuzzFlashChanges().empty()) FuzzFail("the stream (%u) changed the flash", result);
  for (const std::string& file : FuzzFileChanges()) {
    if (file != kCpldFile) FuzzFail("the stream (%u) changed %s", result, file.c_str());
  }
  return 0;
}
