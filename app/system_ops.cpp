#include "app/system_ops.h"

#include "app/messages.h"
#include "app/shell_state.h"
#include "flash/bsp.h"
#include "platform/registry.h"

namespace {
constexpr const WCHAR* kCaptionRegistry = u"Registry";
}

int SaveRegistry(HWND owner) {
  LONG result = RegFlushKey(HKEY_LOCAL_MACHINE);
  bool saved = result == ERROR_SUCCESS;
  if (!saved) {
    NoteFailure(u"RegFlushKey", static_cast<uint32_t>(result));
    NoteFailureText(u"Registry save FAILED!");
  }
  if (g_shell.unattendedMode == 0) {
    if (saved) MessageBoxW(owner, u"Registry successfully saved", kCaptionRegistry, MSG_INFO);
    else MessageBoxW(owner, u"Registry save FAILED!", kCaptionRegistry, MSG_ERROR);
  }
  return saved ? 1 : 0;
}

bool RequestRegistryClear() { return BspClearRegistry(); }

int ClearRegistry(HWND owner) {
  bool cleared = RequestRegistryClear();
  if (!cleared) NoteFailureText(u"Registry clear FAILED!");
  if (g_shell.unattendedMode == 0) {
    if (cleared) MessageBoxW(owner, u"Registry successfully cleared", kCaptionRegistry, MSG_INFO);
    else MessageBoxW(owner, u"Registry clear FAILED!", kCaptionRegistry, MSG_ERROR);
  }
  return cleared ? 1 : 0;
}

int ResetSystem(int cold) {
  BspReboot(cold != 0);
  NoteFailureText(u"the module did not restart");
  return 0;
}
