// Layout arithmetic of the horizontal and vertical layouts, the progress fill, and window
// centring. Pure integer arithmetic, shared by the controls and the native tests.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "SkinUI/skin_values.h"

namespace SkinUI {

struct LayoutChild {
    bool visible = true;
    bool isFloat = false;            // placed by its own position, not by the layout
    SkinRect padding;                // outer margin
    int fixedWidth = 0, fixedHeight = 0;
    int minWidth = 0, maxWidth = 9999;
    int minHeight = 0, maxHeight = 9999;
};

// Measures child `index` for the available size (the control's Measure).
using MeasureFn = std::function<SkinSize(std::size_t index, SkinSize available)>;

// Places the visible, non-float children of a layout whose rectangle is `rect`. Flexible
// children (measured main size 0) share what the fixed ones leave; the last flexible child
// absorbs the rounding; no size is ever negative. Each placed rectangle includes the child's
// trailing padding on the main axis. Entries of children that are not placed stay all zero.
std::vector<SkinRect> ArrangeHorizontal(const SkinRect& rect, const SkinRect& inset, int childPadding,
                                        const std::vector<LayoutChild>& children, const MeasureFn& measure);
std::vector<SkinRect> ArrangeVertical(const SkinRect& rect, const SkinRect& inset, int childPadding,
                                      const std::vector<LayoutChild>& children, const MeasureFn& measure);

// Width (or height) of the filled part of a progress bar of `length` pixels. A range whose
// max is not above min is treated as max = min + 1; the value is clamped into the range.
int ProgressFillLength(int length, int minimum, int maximum, int value);

// Top-left position that centres a window of `size` on `centre`, kept inside `work`; a window
// larger than the work area is put at its left (top) edge.
SkinSize CentredPosition(SkinSize size, const SkinRect& centre, const SkinRect& work);

}  // namespace SkinUI
