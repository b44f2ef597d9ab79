// A dry run of the update (the host's --check): the image file is judged as
// the update would judge it on this module, and what the update would write
// is described. Nothing is erased or written.
#pragma once

#include <string>

#include "platform/types.h"

// Receives the report one line at a time, without a line end.
using CheckLineFn = void (*)(const WCHAR* line);

// Judges the module's file `path`. 1 when the update would write it, 0 when
// it would not, the last line saying why.
int CheckImageFile(const WCHAR* path, CheckLineFn out);

// The same judgement as one JSON object (the keys are listed in the README).
int CheckImageFileJson(const WCHAR* path, std::string* json);

// Judges a file kept on the host, outside the module (fwimage info), with
// the same rules on the attached module.
int CheckHostImageFile(const char* hostPath, CheckLineFn out);
