#include "cpld/cpld.h"

#include "flash/hardware.h"

namespace {

struct CpldState {
  bool initialised = false;
};

CpldState g_cpld;

bool HasCpld(uint32_t partCode) {
  for (uint32_t code : CPLD_PART_CODES) {
    if (code == partCode) return true;
  }
  return false;
}

}  // namespace

uint32_t CpldInit() {
  if (g_cpld.initialised) return CPLD_OK;
  if (!HasCpld(CpuPartCode())) return CPLD_ERR_NO_CPLD;
  return CPLD_ERR_ID_READ;
}

uint32_t CpldRelease() {
  g_cpld.initialised = false;
  return CPLD_OK;
}

uint32_t CpldReadVersion(uint32_t*) { return g_cpld.initialised ? CPLD_ERR_NO_ANSWER : CPLD_ERR_NOT_INITIALISED; }

uint32_t CpldProgram(const uint8_t*, uint32_t) {
  return g_cpld.initialised ? CPLD_ERR_PROGRAM : CPLD_ERR_NOT_INITIALISED;
}
