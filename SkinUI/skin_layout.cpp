#include "SkinUI/skin_layout.h"

#include <algorithm>
#include <cstdint>

namespace SkinUI {
namespace {

int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// One axis-neutral view of a child: main axis = the direction of the layout.
struct Axis {
    bool horizontal;
    int Main(const SkinSize& s) const { return horizontal ? s.cx : s.cy; }
    int Lead(const SkinRect& r) const { return horizontal ? r.left : r.top; }
    int Trail(const SkinRect& r) const { return horizontal ? r.right : r.bottom; }
    int CrossLead(const SkinRect& r) const { return horizontal ? r.top : r.left; }
    int CrossTrail(const SkinRect& r) const { return horizontal ? r.bottom : r.right; }
    int MinMain(const LayoutChild& c) const { return horizontal ? c.minWidth : c.minHeight; }
    int MaxMain(const LayoutChild& c) const { return horizontal ? c.maxWidth : c.maxHeight; }
    int MinCross(const LayoutChild& c) const { return horizontal ? c.minHeight : c.minWidth; }
    int MaxCross(const LayoutChild& c) const { return horizontal ? c.maxHeight : c.maxWidth; }
    int FixedCross(const LayoutChild& c) const { return horizontal ? c.fixedHeight : c.fixedWidth; }
};

std::vector<SkinRect> Arrange(const Axis& ax, const SkinRect& rect, const SkinRect& inset, int childPadding,
                              const std::vector<LayoutChild>& children, const MeasureFn& measure) {
    std::vector<SkinRect> placed(children.size());
    SkinRect content{rect.left + inset.left, rect.top + inset.top, rect.right - inset.right,
                     rect.bottom - inset.bottom};
    SkinSize available{std::max(0, content.Width()), std::max(0, content.Height())};
    const int contentMain = ax.horizontal ? available.cx : available.cy;
    const int contentCross = ax.horizontal ? available.cy : available.cx;

    // First pass: what the fixed children and all paddings need.
    long long fixedTotal = 0;
    int flexible = 0, counted = 0;
    for (std::size_t i = 0; i < children.size(); ++i) {
        const LayoutChild& c = children[i];
        if (!c.visible || c.isFloat) continue;
        int size = ax.Main(measure(i, available));
        if (size == 0) ++flexible;
        else size = Clamp(size, ax.MinMain(c), ax.MaxMain(c));
        fixedTotal += static_cast<long long>(size) + ax.Lead(c.padding) + ax.Trail(c.padding);
        ++counted;
    }
    if (counted > 1) fixedTotal += static_cast<long long>(childPadding) * (counted - 1);
    long long share = 0;
    if (flexible > 0) share = std::max(0LL, (contentMain - fixedTotal) / flexible);

    // Second pass. `fixedRemaining` is what the children still to come need besides the
    // flexible sizes; paddings already passed are taken off it, so that the last flexible
    // child fills the row exactly.
    long long pos = ax.horizontal ? content.left : content.top;
    long long remaining = contentMain;
    long long fixedRemaining = fixedTotal;
    int flexSeen = 0;
    for (std::size_t i = 0; i < children.size(); ++i) {
        const LayoutChild& c = children[i];
        if (!c.visible || c.isFloat) continue;
        const int lead = ax.Lead(c.padding), trail = ax.Trail(c.padding);
        remaining -= lead;
        fixedRemaining -= lead;
        SkinSize avail = available;
        int availMain = static_cast<int>(std::max(0LL, std::min<long long>(remaining, INT32_MAX)));
        (ax.horizontal ? avail.cx : avail.cy) = availMain;
        int size = ax.Main(measure(i, avail));
        if (size == 0) {
            ++flexSeen;
            long long s = share;
            if (flexSeen == flexible) s = std::max(0LL, remaining - trail - (fixedRemaining - trail));
            size = Clamp(static_cast<int>(std::min<long long>(s, INT32_MAX)), ax.MinMain(c), ax.MaxMain(c));
        } else {
            size = Clamp(size, ax.MinMain(c), ax.MaxMain(c));
            fixedRemaining -= size;
        }
        int cross = ax.FixedCross(c);
        if (cross == 0) cross = std::max(0, contentCross - ax.CrossLead(c.padding) - ax.CrossTrail(c.padding));
        cross = Clamp(cross, ax.MinCross(c), ax.MaxCross(c));

        SkinRect r;
        const int p = static_cast<int>(pos);
        if (ax.horizontal) {
            r.left = p + lead;
            r.top = content.top + c.padding.top;
            r.right = p + lead + size + trail;
            r.bottom = r.top + cross;
        } else {
            r.left = content.left + c.padding.left;
            r.right = r.left + cross;
            r.top = p + lead;
            r.bottom = p + lead + size + trail;
        }
        placed[i] = r;
        pos += static_cast<long long>(size) + childPadding + lead + trail;
        remaining -= static_cast<long long>(size) + childPadding + trail;
        fixedRemaining -= trail + childPadding;
    }
    return placed;
}

}  // namespace

std::vector<SkinRect> ArrangeHorizontal(const SkinRect& rect, const SkinRect& inset, int childPadding,
                                        const std::vector<LayoutChild>& children, const MeasureFn& measure) {
    return Arrange(Axis{true}, rect, inset, childPadding, children, measure);
}

std::vector<SkinRect> ArrangeVertical(const SkinRect& rect, const SkinRect& inset, int childPadding,
                                      const std::vector<LayoutChild>& children, const MeasureFn& measure) {
    return Arrange(Axis{false}, rect, inset, childPadding, children, measure);
}

int ProgressFillLength(int length, int minimum, int maximum, int value) {
    long long lo = minimum, hi = maximum, v = value;
    if (hi <= lo) hi = lo + 1;
    v = std::max(lo, std::min(hi, v));
    return static_cast<int>(static_cast<long long>(length) * (v - lo) / (hi - lo));
}

SkinSize CentredPosition(SkinSize size, const SkinRect& centre, const SkinRect& work) {
    int x = (centre.left + centre.right) / 2 - size.cx / 2;
    int y = (centre.top + centre.bottom) / 2 - size.cy / 2;
    if (x < work.left) x = work.left;
    else if (x + size.cx > work.right) x = work.right - size.cx;
    if (y < work.top) y = work.top;
    else if (y + size.cy > work.bottom) y = work.bottom - size.cy;
    return SkinSize{x, y};
}

}  // namespace SkinUI
