// Drawing primitives of the toolkit (internal).
#pragma once

#include "SkinUI/skin_manager.h"

namespace SkinUI {

// Fills `rc` with a 0xAARRGGBB colour: nothing for alpha 0, opaque for alpha 0xFF, blended
// otherwise.
void FillArgb(HDC dc, const RECT& rc, DWORD argb);

// Draws `image` stretched into the control rectangle (or the part given by `dest`, an offset
// inside it), taking `source` of the bitmap (all zero: the whole bitmap), limited to the
// control and skipped when outside the paint rectangle.
void DrawSkinImage(HDC dc, const SkinImage& image, const RECT& control, const RECT& paint, const SkinRect& dest,
                   const SkinRect& source, int fade);

// Creates the DIB section of a decoded image; null on failure.
HBITMAP CreateImageBitmap(int width, int height, const void* pixels);

// AlphaBlend, loaded by name from msimg32.dll; null when unavailable.
using AlphaBlendFn = BOOL(WINAPI*)(HDC, int, int, int, int, HDC, int, int, int, int, BLENDFUNCTION);
AlphaBlendFn GetAlphaBlend();

}  // namespace SkinUI
