#pragma once

#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

// The arithmetic behind the update window's layout, kept free of any toolkit
// so that every rule can be checked without a display. Everything here uses
// the coordinates the window was designed in: points as doubles, origin at
// the bottom left, y growing upward, a frame being (x, y, width, height) in
// its superview (or on the screen, for windows). The Widgets layer converts
// at its edge (widgets/NVViewFrames.h). Pure functions: any thread.

struct NVSize {
    double width = 0;
    double height = 0;
    bool operator==(const NVSize &) const = default;
};

struct NVRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    NVSize size() const { return {width, height}; }
    bool operator==(const NVRect &) const = default;
};

// What a window's frame adds around its content (title bar, borders).
struct NVEdgeInsets {
    double left = 0;
    double top = 0;
    double right = 0;
    double bottom = 0;
};

// The largest size a window may have when it has no limit: the largest
// single-precision float, as the window system writes "unbounded".
inline constexpr double NVUnboundedSize = 3.4028234663852886e38;

// How a view follows its superview's size, by the platform's bit values.
// A view without a flexible part along an axis keeps its distance to the
// left (bottom) edge and its size.
enum NVAutoresizingMask : unsigned {
    NVViewNotSizable = 0,
    NVViewMinXMargin = 1,     // flexible left margin: the view keeps its right edge
    NVViewWidthSizable = 2,
    NVViewMaxXMargin = 4,     // flexible right margin
    NVViewMinYMargin = 8,     // flexible bottom margin: the view keeps its top edge
    NVViewHeightSizable = 16,
    NVViewMaxYMargin = 32,    // flexible top margin: the view keeps its bottom edge
};

// Where a window goes when a view becomes its whole content (placeMainView).
struct NVMainViewPlacement {
    NVRect windowFrame;
    NVSize minFrameSize;
    NVSize maxFrameSize;
};

// One direct subview of a button row (NVAutoresizingBox), as the row sees
// it: its mask and frame before the change, and, for views that fit their
// content, their fitted widths before and after it.
struct NVBoxItem {
    unsigned mask = 0;
    NVRect frame;
    std::optional<double> fittedWidthBefore;
    std::optional<double> fittedWidthAfter;
};

namespace NVViewGeometry {

// The frame of a view after its superview went from oldSuperviewSize to
// newSuperviewSize: along each axis the change is shared evenly by the
// flexible parts the mask names (left margin, width, right margin; bottom
// margin, height, top margin). Sizes may become negative; callers clamp
// only what they display, so that growing back restores the frame exactly.
NVRect autoresizedFrame(const NVRect &frame, unsigned mask, const NVSize &oldSuperviewSize,
                        const NVSize &newSuperviewSize);

// A window frame around a content rectangle, and the reverse.
NVRect frameRectForContentRect(const NVRect &content, const NVEdgeInsets &decoration);
NVRect contentRectForFrameRect(const NVRect &frame, const NVEdgeInsets &decoration);

// The size a view takes when its minimum becomes minSize: each side grows to
// the minimum, none shrinks.
NVSize sizeForMinSize(const NVSize &size, const NVSize &minSize);

// Where a window goes when a view of viewSize becomes its whole content:
// the window frame fits the view, keeping the top edge and the horizontal
// centre; the window's minimum frame size fits the view's minimum, and its
// maximum is unbounded.
NVMainViewPlacement placeMainView(const NVRect &windowFrame, const NVSize &viewSize, const NVSize &viewMinSize,
                                  const NVEdgeInsets &decoration);

// Collapsing (delta < 0) or expanding (delta > 0) a sub-area of a view by its
// height: a window grows or shrinks downward, keeping its top edge; a view
// outside a window keeps its x and is put at y = 0.
NVRect windowFrameForHeightChange(const NVRect &windowFrame, double delta);
NVRect viewFrameForHeightChange(const NVRect &viewFrame, double delta);
// A minimum or maximum moved with the sub-area; an unbounded one stays so.
double limitForHeightChange(double limit, double delta);

// A button that fits its new title: the margin the designer gave it beyond
// the fitted width of its designed title (initial minus optimal, never
// negative) survives on top of the fitted width of the new title (fitted).
// It keeps its centre when both side margins are flexible, its right edge
// when only the left one is, else its left edge; the height stays.
NVRect autoresizedButtonFrame(const NVRect &initial, const NVRect &optimal, const NVRect &fitted, unsigned mask);

// The frames of a button row after its titles changed. Views with a
// flexible left margin form the right group, views with a flexible width
// the stretch group, all others the left group. Each fitting view keeps its
// designed margin beyond its fitted width (negative ones too); growth in the
// left group pushes the views to its right rightward, growth in the right
// group pushes those to its left leftward, and the stretch views move by the
// left group's growth and give up the growth of both groups. Views that do
// not fit their content keep their frames, unless they stretch.
QList<NVRect> layoutBox(const QList<NVBoxItem> &items);

// The window size as the settings store it, "{width, height}" with each
// number as short as it prints ("{620, 474}"), and back. A text that does
// not read as a size gives the zero size.
QString stringFromSize(const NVSize &size);
NVSize sizeFromString(QStringView text);

} // namespace NVViewGeometry
