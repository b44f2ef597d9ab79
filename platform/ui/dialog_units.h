// Dialog units to pixels, as the platform converts them: a horizontal unit
// is a quarter of the font's average character width, a vertical unit an
// eighth of its height.
#pragma once

#include <cstdint>

struct DialogBaseUnits {
  int x;  // average character width in pixels
  int y;  // character height in pixels
};

// The platform's average width: the extent of "A".."Z" "a".."z", divided by
// 26, plus one, halved.
DialogBaseUnits DialogBaseUnitsOf(int alphabetWidth, int fontHeight);
extern const char kDialogUnitsAlphabet[];

// a * b / c rounded half away from zero; c == 0 gives 0.
int MulDivRound(int a, int b, int c);

struct PixelRect {
  int x, y, width, height;
};
PixelRect DialogUnitsToPixels(int x, int y, int width, int height, DialogBaseUnits base);
