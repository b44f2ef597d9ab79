#include "app/cpld_report.h"

#include "app/messages.h"
#include "cpld/cpld.h"
#include "cpld/version_word.h"
#include "platform/format.h"

namespace {

constexpr size_t kTextCapacity = 64;
constexpr size_t kBetaCapacity = 32;

void ShowVersion(HWND dialog, uint32_t word) {
  if (word == CPLD_VERSION_NONE) {
    // Every bit set is the user code's row erased: no firmware's version.
    MessageBoxW(dialog,
                u"CPLD Ver:\tnone\r\nThe CPLD holds no version (user code FFFFFFFF): it is blank, its programming "
                u"did not finish, or its design sets no version. Update the CPLD with its firmware again.\r\n",
                u"CPLD Version", MSG_WARNING);
    return;
  }
  CpldVersion v = CpldVersionOf(word);
  WCHAR beta[kBetaCapacity] = {};
  if (v.beta) StringCchPrintfW(beta, kBetaCapacity, u"BETA, Build %d", static_cast<int>(v.build));
  WCHAR text[kTextCapacity];
  StringCchPrintfW(text, kTextCapacity, u"CPLD Ver:\t%d.%d %s\r\n", static_cast<int>(v.major),
                   static_cast<int>(v.minor), beta);
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
