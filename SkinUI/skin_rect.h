// Conversions between the portable rectangle of the layout arithmetic and the platform's.
#pragma once

#include "SkinUI/skin_defs.h"
#include "SkinUI/skin_values.h"

namespace SkinUI {

inline RECT ToRect(const SkinRect& r) { return RECT{r.left, r.top, r.right, r.bottom}; }
inline SkinRect ToSkinRect(const RECT& r) { return SkinRect{r.left, r.top, r.right, r.bottom}; }
inline bool Contains(const RECT& rc, POINT pt) { return ::PtInRect(&rc, pt) != FALSE; }

}  // namespace SkinUI
