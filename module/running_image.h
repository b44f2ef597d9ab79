// The image a module runs. A restart boots the OS image now in the OS image
// region; where that holds no valid ROM image, the bootloader stays in charge,
// as a real module's recovery would. The running image's facts are where the
// module's software finds them: its version is what board support answers
// ([bsp] image_* in module.ini), its build date the time of
// \Windows\wince.nls.
#pragma once

#include <cstdint>
#include <string>

#include "module/factory_images.h"
#include "module/module_config.h"
#include "module/module_dir.h"
#include "module/module_flash.h"

enum class RunningImageSource : uint8_t { OsImage, Bootloader, Nothing };

struct RunningImage {
  RunningImageSource source = RunningImageSource::Nothing;
  uint32_t at = 0;  // flash offset of its ROM image
  bool hasVersion = false;
  StoredVersion version;
  bool hasBuilt = false;
  ModuleDateTime built;
};

// What a start of the module would run, read from `flash` as the boot reads
// it: the OS image's ROM image with its version record and the build time of
// its first module, else the bootloader's (version record or banner). False
// only when the flash cannot be read.
bool RunningImageFind(const ModuleConfig& config, const ModuleFlash& flash, RunningImage* image, std::string* error);

// Makes `image` the running one: its version into module.ini's [bsp] image_*
// (kept where it has none), its build time onto \Windows\wince.nls. Nothing
// changes for RunningImageSource::Nothing.
bool RunningImageApply(Module* module, const RunningImage& image, std::string* error);

// "OS image 3.8 built 2010-06-01 12:00:00", for the restart's log line.
std::string RunningImageText(const RunningImage& image);

// \Windows\wince.nls of the module at `moduleDir`, dated `built` (UTC).
bool RunningImageWriteNls(const std::string& moduleDir, const ModuleDateTime& built, std::string* error);
