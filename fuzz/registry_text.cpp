// The registry's text form: the input is the text of a registry.reg. What
// parses must survive being written and read again unchanged (keys in the
// same order with the same names, every value's name, type and bytes), and
// writing it again must give the same text.
#include <string>
#include <string_view>

#include "fuzz/support/fuzz_module.h"
#include "module/registry_text.h"

namespace {

bool SameValue(const RegValue& a, const RegValue& b) {
  return a.name == b.name && a.type == b.type && a.data == b.data;
}

bool SameKey(const RegKey& a, const RegKey& b) {
  if (a.path != b.path || a.values.size() != b.values.size()) return false;
  for (size_t i = 0; i < a.values.size(); i++) {
    if (!SameValue(a.values[i], b.values[i])) return false;
  }
  return true;
}

bool SameData(const RegistryData& a, const RegistryData& b) {
  if (a.keys.size() != b.keys.size()) return false;
  for (size_t i = 0; i < a.keys.size(); i++) {
    if (!SameKey(a.keys[i], b.keys[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  RegistryData parsed;
  std::string error;
  if (!RegistryFromText(text, &parsed, &error)) {
    if (error.empty()) FuzzFail("a refused text without a reason");
    return 0;
  }
  std::string written = RegistryToText(parsed);
  RegistryData again;
  if (!RegistryFromText(written, &again, &error)) FuzzFail("written text does not read back: %s", error.c_str());
  if (!SameData(parsed, again)) FuzzFail("the registry changed on its way through text");
  if (RegistryToText(again) != written) FuzzFail("the registry is written differently the second time");
  return 0;
}
