// File names for the module's named kernel objects (mutexes, shared memory).
// Object names are arbitrary UTF-16 and compared case-sensitively, so the
// mapping must be one-to-one and must never produce a path separator, a dot
// name or a name longer than the host file system allows.
#pragma once

#include <string>

// The host file name for the object `name` (non-empty). Letters, digits, '_'
// and '-' stand for themselves; every other unit becomes '%' and four hex
// digits. A name too long for one file name keeps an escaped prefix and gets a
// '#' and a 64-bit hash of the whole name.
std::string ModuleObjectFileName(const std::u16string& name);
