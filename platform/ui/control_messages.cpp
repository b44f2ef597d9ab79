// Messages to list boxes and progress bars. They change the model at once,
// on the caller's thread; the backend is told and redraws on its own time.
#include "platform/ui/control_messages.h"

#include <algorithm>
#include <optional>

#include "platform/text.h"
#include "platform/ui/window_model.h"

namespace {

bool MultipleSelection(const UiControlState& c) { return (c.style & (LBS_EXTENDEDSEL | LBS_MULTIPLESEL)) != 0; }

// Where a sorted list box puts `text`: after every entry not greater,
// without regard to case.
size_t SortedPosition(const UiControlState& c, const std::u16string& text) {
  size_t i = 0;
  while (i < c.items.size() && TextCompareNoCase(c.items[i].c_str(), text.c_str()) <= 0) i++;
  return i;
}

LRESULT InsertItem(UiControlState& c, intptr_t at, LPCWSTR text) {
  std::u16string item = text ? std::u16string(text) : std::u16string();
  size_t position;
  if (at < 0) {
    position = (c.style & LBS_SORT) ? SortedPosition(c, item) : c.items.size();
  } else if (static_cast<size_t>(at) > c.items.size()) {
    return LB_ERR;
  } else {
    position = static_cast<size_t>(at);
  }
  c.items.insert(c.items.begin() + static_cast<std::ptrdiff_t>(position), item);
  c.selected.insert(c.selected.begin() + static_cast<std::ptrdiff_t>(position), 0);
  return static_cast<LRESULT>(position);
}

LRESULT SelectRange(UiControlState& c, bool select, size_t first, size_t last) {
  if (!MultipleSelection(c)) return LB_ERR;
  if (first > last) std::swap(first, last);
  if (c.items.empty() || first >= c.items.size()) return LB_OKAY;
  last = std::min(last, c.items.size() - 1);
  for (size_t i = first; i <= last; i++) c.selected[i] = select ? 1 : 0;
  return LB_OKAY;
}

LRESULT SetSel(UiControlState& c, bool select, intptr_t index) {
  if (!MultipleSelection(c)) return LB_ERR;
  if (index == -1) {
    std::fill(c.selected.begin(), c.selected.end(), select ? 1 : 0);
    return LB_OKAY;
  }
  if (index < 0 || static_cast<size_t>(index) >= c.items.size()) return LB_ERR;
  c.selected[static_cast<size_t>(index)] = select ? 1 : 0;
  return LB_OKAY;
}

using ChangeNote = std::optional<UiChange>;

// Notes `what` as changed unless the list box refused the request.
LRESULT Noted(LRESULT result, UiChange what, ChangeNote* change) {
  if (result != LB_ERR) *change = what;
  return result;
}

LRESULT ListBoxMessage(UiControlState& c, UINT message, WPARAM wParam, LPARAM lParam, ChangeNote* change) {
  switch (message) {
    case LB_ADDSTRING:
      return Noted(InsertItem(c, -1, reinterpret_cast<LPCWSTR>(lParam)), UiChange::ListItems, change);
    case LB_INSERTSTRING:
      return Noted(InsertItem(c, static_cast<intptr_t>(wParam), reinterpret_cast<LPCWSTR>(lParam)),
                   UiChange::ListItems, change);
    case LB_DELETESTRING: {
      if (wParam >= c.items.size()) return LB_ERR;
      c.items.erase(c.items.begin() + static_cast<std::ptrdiff_t>(wParam));
      c.selected.erase(c.selected.begin() + static_cast<std::ptrdiff_t>(wParam));
      *change = UiChange::ListItems;
      return static_cast<LRESULT>(c.items.size());
    }
    case LB_RESETCONTENT:
      c.items.clear();
      c.selected.clear();
      *change = UiChange::ListItems;
      return LB_OKAY;
    case LB_GETCOUNT:
      return static_cast<LRESULT>(c.items.size());
    case LB_GETTEXTLEN:
      return wParam < c.items.size() ? static_cast<LRESULT>(c.items[wParam].size()) : LB_ERR;
    case LB_GETTEXT: {
      // The caller sized the buffer from LB_GETTEXTLEN, as on the platform.
      if (wParam >= c.items.size() || lParam == 0) return LB_ERR;
      const std::u16string& item = c.items[wParam];
      TextCopy(reinterpret_cast<LPWSTR>(lParam), item.size() + 1, item.c_str());
      return static_cast<LRESULT>(item.size());
    }
    case LB_GETSEL:
      return wParam < c.items.size() ? static_cast<LRESULT>(c.selected[wParam] != 0) : LB_ERR;
    case LB_SETSEL:
      return Noted(SetSel(c, wParam != 0, static_cast<intptr_t>(lParam)), UiChange::ListSelection, change);
    case LB_SELITEMRANGE:
      return Noted(SelectRange(c, wParam != 0, LOWORD(static_cast<uintptr_t>(lParam)),
                               HIWORD(static_cast<uintptr_t>(lParam))),
                   UiChange::ListSelection, change);
    case LB_GETSELCOUNT:
      if (!MultipleSelection(c)) return LB_ERR;
      return static_cast<LRESULT>(std::count(c.selected.begin(), c.selected.end(), 1));
    case LB_GETSELITEMS: {
      if (!MultipleSelection(c)) return LB_ERR;
      auto* out = reinterpret_cast<int32_t*>(lParam);
      if (out == nullptr && wParam > 0) return LB_ERR;
      size_t n = 0;
      for (size_t i = 0; i < c.selected.size() && n < wParam; i++) {
        if (c.selected[i]) out[n++] = static_cast<int32_t>(i);
      }
      return static_cast<LRESULT>(n);
    }
    default:
      return 0;
  }
}

int32_t Clamp(const UiControlState& c, int64_t pos) {
  int64_t low = std::min(c.rangeMin, c.rangeMax);
  int64_t high = std::max(c.rangeMin, c.rangeMax);
  return static_cast<int32_t>(std::clamp(pos, low, high));
}

LRESULT PackedRange(const UiControlState& c) {
  return static_cast<LRESULT>(MAKELONG(static_cast<WORD>(c.rangeMin), static_cast<WORD>(c.rangeMax)));
}

LRESULT SetRange(UiControlState& c, int32_t low, int32_t high, ChangeNote* change) {
  LRESULT previous = PackedRange(c);
  c.rangeMin = low;
  c.rangeMax = high;
  c.pos = Clamp(c, c.pos);
  *change = UiChange::ProgressRange;
  return previous;
}

LRESULT SetPos(UiControlState& c, int64_t pos, ChangeNote* change) {
  LRESULT previous = c.pos;
  c.pos = Clamp(c, pos);
  *change = UiChange::ProgressPos;
  return previous;
}

LRESULT ProgressMessage(UiControlState& c, UINT message, WPARAM wParam, LPARAM lParam, ChangeNote* change) {
  switch (message) {
    case PBM_SETRANGE:
      return SetRange(c, LOWORD(static_cast<uintptr_t>(lParam)), HIWORD(static_cast<uintptr_t>(lParam)), change);
    case PBM_SETRANGE32:
      return SetRange(c, static_cast<int32_t>(wParam), static_cast<int32_t>(lParam), change);
    case PBM_SETPOS:
      return SetPos(c, static_cast<int32_t>(wParam), change);
    case PBM_DELTAPOS:
      return SetPos(c, int64_t{c.pos} + static_cast<int32_t>(wParam), change);
    case PBM_SETSTEP: {
      LRESULT previous = c.step;
      c.step = static_cast<int32_t>(wParam);
      return previous;
    }
    case PBM_STEPIT: {
      // Stepping past the end starts over from the low end, as on the platform.
      int64_t next = int64_t{c.pos} + c.step;
      if (next > c.rangeMax) next = c.rangeMin + (next - c.rangeMax);
      return SetPos(c, next, change);
    }
    case PBM_GETRANGE: {
      if (auto* range = reinterpret_cast<PBRANGE*>(lParam)) *range = PBRANGE{c.rangeMin, c.rangeMax};
      return wParam ? c.rangeMin : c.rangeMax;
    }
    case PBM_GETPOS:
      return c.pos;
    default:
      return 0;
  }
}

}  // namespace

LRESULT ControlMessageLocked(UiDialogState* dialog, int index, UINT message, WPARAM wParam, LPARAM lParam) {
  UiControlState& c = dialog->controls[static_cast<size_t>(index)];
  ChangeNote change;
  LRESULT result = 0;
  if (c.kind == DialogControlKind::ListBox) {
    result = ListBoxMessage(c, message, wParam, lParam, &change);
  } else if (c.kind == DialogControlKind::ProgressBar) {
    result = ProgressMessage(c, message, wParam, lParam, &change);
  }
  if (change) UiChangedLocked(*dialog, index, *change);
  return result;
}
