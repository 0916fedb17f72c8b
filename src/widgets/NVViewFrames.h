#pragma once

#include "ui/NVViewGeometry.h"

class QWidget;

// The edge between Qt's geometry (integers, origin top left) and the
// layout's (doubles, origin bottom left; NVViewGeometry.h) for the update
// window's views.
//
// Views laid out by their mask carry the dynamic property "autoresizingMask"
// (set in the interface file); only they take part, so the internals of Qt's
// own composite widgets are never moved. Each such view remembers its exact
// frame, so that repeated resizing does not drift by rounding; a geometry
// changed behind our back is taken as it is.
//
// Main thread, all of them.
namespace NVViewFrames {

inline constexpr const char *AutoresizingMaskProperty = "autoresizingMask";

bool takesPartInAutoresizing(const QWidget *view);
unsigned autoresizingMask(const QWidget *view);

// The view's frame in its superview, for a superview of superviewHeight
// (default: the superview's current height).
NVRect frame(const QWidget *view, double superviewHeight);
NVRect frame(const QWidget *view);
// Sets the view's frame in a superview of the superview's current height.
void setFrame(QWidget *view, const NVRect &frame);
NVSize size(const QWidget *view);
// Resizes the view, keeping its top-left corner where Qt keeps it; the
// caller lays out its subviews.
void setFrameSize(QWidget *view, const NVSize &size);

// Lays out the subviews of view that take part, by their masks, for a
// change of view's size from oldSize to its current size; recursively for
// subviews whose size changed.
void resizeSubviews(QWidget *view, const NVSize &oldSize);

// A top-level window's frame on the screen (decoration included) and the
// decoration around its content, as far as the window system has told us.
NVRect windowFrame(const QWidget *window);
NVEdgeInsets windowDecoration(const QWidget *window);
// Moves and resizes a window so that its frame becomes frame.
void setWindowFrame(QWidget *window, const NVRect &frame);

} // namespace NVViewFrames
