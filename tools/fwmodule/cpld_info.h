// fwmodule on the CPLD: the "cpld" lines of `fwmodule info`, and the array
// a module's CPLD holds (cpld.img, or the factory's while there is none).
#pragma once

#include <string>

#include "module/cpld_array.h"
#include "module/module_dir.h"

// False with `error` for a module whose board has no CPLD or whose cpld.img is damaged.
bool LoadModuleCpld(const Module& module, CpldArray* array, bool* fromFile, std::string* error);

void PrintCpld(const Module& module);

// The same as the "cpld" member of fwmodule info --json (null: no CPLD).
struct JsonWriter;
void JsonCpld(JsonWriter* w, const Module& module);
