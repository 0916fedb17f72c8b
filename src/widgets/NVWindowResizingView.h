#pragma once

#include "ui/NVViewGeometry.h"

#include <QPointer>
#include <QWidget>

// A view that fills a window as its whole content, one at a time, resizing
// the window around itself, and that collapses and expands a sub-area with
// the window following. It keeps a minimum size, which starts as the size the
// interface file gives it. Its subviews follow their autoresizing masks
// (NVViewFrames.h) whenever it changes size.
//
// Windows are resized at once rather than animated: X11 window managers
// apply each step of an animated resize as a separate configure round trip,
// which flickers more than it helps.
//
// Main thread, every method.
class NVWindowResizingView : public QWidget {
    Q_OBJECT
public:
    explicit NVWindowResizingView(QWidget *parent = nullptr);

    NVSize minSize() const { return m_minSize; }
    // Stores the minimum and grows the view to it where it is smaller.
    void setMinSize(const NVSize &minSize);
    // The interface-file loader calls this once the designed geometry is
    // set: the minimum starts as the designed size.
    void adoptDesignedSize();

    // Resizes the view (keeping its top-left corner) and lays out its subviews.
    void setFrameSize(const NVSize &size);

    // Makes this view the whole content of window: the window takes the
    // view's size, keeping its top edge and horizontal centre, its minimum
    // becomes the view's minimum and its maximum unbounded, and whatever
    // view it showed before goes back where it came from.
    void makeMainViewOfWindow(QWidget *window, bool animate);
    // Whether this view is the content of a window now.
    bool isMainViewOfWindow() const;

    // Hides (collapsed) or shows a subview, shrinking or growing this view,
    // or the window it is the content of, by the subview's height at the
    // bottom; the minimum (and the window's maximum height) move with it.
    // Nothing happens when the subview already is in that state.
    void makeSubviewCollapsed(QWidget *subview, bool collapsed);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void layOutSubviews();
    void returnHome();

    NVSize m_minSize;
    NVSize m_laidOutSize;
    bool m_hasLaidOutSize = false;
    // The widget that held this view in the interface file; a view that stops
    // being a window's content returns there, hidden, so its owner keeps it.
    QPointer<QWidget> m_home;
};
