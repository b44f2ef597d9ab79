#include "platform/ui/dialog_units.h"

namespace {

constexpr int kLettersInAlphabet = 26;
constexpr int kHorizontalUnitsPerChar = 4;
constexpr int kVerticalUnitsPerChar = 8;

}  // namespace

const char kDialogUnitsAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

DialogBaseUnits DialogBaseUnitsOf(int alphabetWidth, int fontHeight) {
  return DialogBaseUnits{(alphabetWidth / kLettersInAlphabet + 1) / 2, fontHeight};
}

int MulDivRound(int a, int b, int c) {
  if (c == 0) return 0;
  int64_t product = static_cast<int64_t>(a) * b;
  int64_t divisor = c;
  if (divisor < 0) {
    product = -product;
    divisor = -divisor;
  }
  int64_t half = divisor / 2;
  return static_cast<int>(product >= 0 ? (product + half) / divisor : -((-product + half) / divisor));
}

PixelRect DialogUnitsToPixels(int x, int y, int width, int height, DialogBaseUnits base) {
  return PixelRect{MulDivRound(x, base.x, kHorizontalUnitsPerChar), MulDivRound(y, base.y, kVerticalUnitsPerChar),
                   MulDivRound(width, base.x, kHorizontalUnitsPerChar),
                   MulDivRound(height, base.y, kVerticalUnitsPerChar)};
}
