#include "app/system_ops.h"

#include "app/messages.h"
#include "app/shell_state.h"
#include "flash/bsp.h"
#include "platform/debug.h"
#include "platform/registry.h"

namespace {
constexpr const WCHAR* kCaptionRegistry = u"Registry";
}

int SaveRegistry(HWND owner) {
  bool saved = RegFlushKey(HKEY_LOCAL_MACHINE) == ERROR_SUCCESS;
  if (g_shell.unattendedMode == 0) {
    if (saved) MessageBoxW(owner, u"Registry successfully saved", kCaptionRegistry, MSG_INFO);
    else MessageBoxW(owner, u"Registry save FAILED!", kCaptionRegistry, MSG_ERROR);
  }
  return saved ? 1 : 0;
}

bool RequestRegistryClear() { return BspClearRegistry(); }

int ClearRegistry(HWND owner) {
  bool cleared = RequestRegistryClear();
  if (g_shell.unattendedMode == 0) {
    if (cleared) MessageBoxW(owner, u"Registry successfully cleared", kCaptionRegistry, MSG_INFO);
    else MessageBoxW(owner, u"Registry clear FAILED!", kCaptionRegistry, MSG_ERROR);
  }
  return cleared ? 1 : 0;
}

int ResetSystem(int cold) {
  BspReboot(cold != 0);
  OutputDebugStringW(u"WARNING: Flashwright.exe: The module did not restart\n\r");
  return 0;
}
