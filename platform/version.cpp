#include "platform/version.h"

#include "platform/error.h"
#include "platform/platform.h"

BOOL GetVersionExW(OSVERSIONINFOW* info) {
  if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ModuleConfig defaults;
  const Module* module = PlatformModule();
  const ModuleConfig& config = module ? module->config : defaults;
  info->dwMajorVersion = config.osMajor;
  info->dwMinorVersion = config.osMinor;
  info->dwBuildNumber = config.osBuild;
  info->dwPlatformId = VER_PLATFORM_WIN32_CE;
  info->szCSDVersion[0] = 0;
  return TRUE;
}
