#include "platform/ui/message_box.h"

#include "platform/error.h"
#include "platform/ui/window_model.h"

namespace {

constexpr unsigned kDefaultButtonShift = 8;

struct ButtonSet {
  int buttons[kMaxMessageBoxButtons];
  int count;
  int escapeAnswer;  // 0: the box cannot be dismissed without an answer
};

// Indexed by the MB_TYPEMASK part of the style.
constexpr ButtonSet kButtonSets[] = {
    {{IDOK}, 1, IDOK},                          // MB_OK
    {{IDOK, IDCANCEL}, 2, IDCANCEL},            // MB_OKCANCEL
    {{IDABORT, IDRETRY, IDIGNORE}, 3, 0},       // MB_ABORTRETRYIGNORE
    {{IDYES, IDNO, IDCANCEL}, 3, IDCANCEL},     // MB_YESNOCANCEL
    {{IDYES, IDNO}, 2, 0},                      // MB_YESNO
    {{IDRETRY, IDCANCEL}, 2, IDCANCEL},         // MB_RETRYCANCEL
};

UiIcon IconOf(UINT style) {
  switch (style & MB_ICONMASK) {
    case MB_ICONHAND:
      return UiIcon::Error;
    case MB_ICONQUESTION:
      return UiIcon::Question;
    case MB_ICONEXCLAMATION:
      return UiIcon::Warning;
    case MB_ICONASTERISK:
      return UiIcon::Information;
    default:
      return UiIcon::None;
  }
}

}  // namespace

bool MessageBoxDecodeStyle(UINT style, UiMessageBox* box) {
  UINT type = style & MB_TYPEMASK;
  if (type >= sizeof(kButtonSets) / sizeof(kButtonSets[0])) return false;
  const ButtonSet& set = kButtonSets[type];
  UINT defaultIndex = (style & MB_DEFMASK) >> kDefaultButtonShift;
  if (defaultIndex >= static_cast<UINT>(set.count)) defaultIndex = 0;
  box->style = style;
  box->icon = IconOf(style);
  box->buttonCount = set.count;
  for (int i = 0; i < kMaxMessageBoxButtons; i++) box->buttons[i] = i < set.count ? set.buttons[i] : 0;
  box->defaultButton = set.buttons[defaultIndex];
  box->escapeAnswer = set.escapeAnswer;
  return true;
}

int MessageBoxCautiousAnswer(const UiMessageBox& box) {
  if (box.escapeAnswer != 0) return box.escapeAnswer;
  for (int answer : {IDNO, IDABORT}) {
    for (int i = 0; i < box.buttonCount; i++) {
      if (box.buttons[i] == answer) return answer;
    }
  }
  return box.defaultButton;
}

const char16_t* MessageBoxButtonText(int answer) {
  switch (answer) {
    case IDOK:
      return u"OK";
    case IDCANCEL:
      return u"Cancel";
    case IDABORT:
      return u"Abort";
    case IDRETRY:
      return u"Retry";
    case IDIGNORE:
      return u"Ignore";
    case IDYES:
      return u"Yes";
    case IDNO:
      return u"No";
    default:
      return u"?";
  }
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  UiMessageBox box;
  if (!MessageBoxDecodeStyle(type, &box)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  box.text = text ? std::u16string(text) : std::u16string();
  box.caption = caption ? std::u16string(caption) : std::u16string(u"Error");
  const UiBackendOps* backend = UiBackend();
  if (!backend->ready()) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  box.owner = UiBeginModal(owner);
  {
    auto lock = UiLock();
    box.serial = UiNextSerialLocked();
  }
  int answer = backend->messageBox(box);
  UiEndModal(box.owner);
  return answer;
}
