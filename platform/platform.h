// Binds the platform services to one virtual module for the rest of the process.
#pragma once

#include <string>

#include "module/module_dir.h"
#include "module/module_flash.h"

// Opens the module at `dir` (creating it with the default board when `create`
// is set and the directory holds no module) and makes it the module that every
// platform call works on.
bool PlatformAttachModule(const std::string& dir, bool create, std::string* error);

// The attached module, or null before PlatformAttachModule. Tests re-attach
// freely; nothing else may hold on to the pointer across an attach.
const Module* PlatformModule();

// The module's own access to its flash (as the module's OS uses it for the
// persistent registry), opened on first use. Null with `error` set when the
// module has no usable flash.
const ModuleFlash* PlatformModuleFlash(std::string* error);

// Drops the attachment and every per-module cache the platform keeps.
void PlatformDetachModule();
