#include "app/cpld_report.h"

#include "app/messages.h"
#include "cpld/cpld.h"
#include "platform/format.h"

namespace {

constexpr size_t kTextCapacity = 64;
constexpr size_t kBetaCapacity = 32;

// The version word: major in the top half, minor in the low byte, a beta
// build number in the byte between (its low nibble is the number).
constexpr uint32_t kMajorShift = 16;
constexpr uint32_t kMinorMask = 0xFF;
constexpr uint32_t kBuildShift = 8;
constexpr uint32_t kBuildByteMask = 0xFF;
constexpr uint32_t kBuildNumberMask = 0x0F;

void ShowVersion(HWND dialog, uint32_t v) {
  WCHAR beta[kBetaCapacity] = {};
  if (((v >> kBuildShift) & kBuildByteMask) != 0) {
    StringCchPrintfW(beta, kBetaCapacity, u"BETA, Build %d", static_cast<int>((v >> kBuildShift) & kBuildNumberMask));
  }
  WCHAR text[kTextCapacity];
  StringCchPrintfW(text, kTextCapacity, u"CPLD Ver:\t%d.%d %s\r\n", static_cast<int>(v >> kMajorShift),
                   static_cast<int>(v & kMinorMask), beta);
  MessageBoxW(dialog, text, u"CPLD Version", MSG_INFO);
}

// What the user sees; the CPLD is released by the caller.
void Report(HWND dialog) {
  uint32_t init = CpldInit();
  if (init == CPLD_ERR_NO_CPLD || init == CPLD_ERR_ID_READ) {
    ShowError(dialog, u"No CPLD found.");
    return;
  }
  if (init != CPLD_OK) {
    ShowError(dialog, u"This CPLD version isn't supported.");
    return;
  }
  uint32_t version = 0;
  if (CpldReadVersion(&version) != CPLD_OK) {
    ShowError(dialog, u"Could not read CPLD Version.");
    return;
  }
  ShowVersion(dialog, version);
}

}  // namespace

void ShowCpldVersion(HWND dialog) {
  // Something driving these pins from outside would fight the port.
  if (MessageBoxW(dialog,
                  u"To read the CPLD Version the SODIMM pins 88, 90 and 92 have to be unconnected (not driven)\ne.g. "
                  u"like on the Valmora EvalBoard.\nDo you want to continue?",
                  u"WARNING", MSG_WARNING_DEFAULT_NO) != IDYES) {
    return;
  }
  Report(dialog);
  CpldRelease();
}
