#pragma once

#include "ui/NVViewGeometry.h"

class NVBundle;
class QString;
class QWidget;

// Buttons that fit their titles: what the autoresizing buttons share. A
// button keeps the margin its designer gave it beyond its fitted width and,
// by its autoresizing mask, its left edge, its right edge or its centre
// (NVViewGeometry::autoresizedButtonFrame).
//
// Main thread, all of them.
namespace NVAutoresizing {

// Whether the view's width follows its content: buttons, labels, combo boxes.
bool fitsContent(const QWidget *view);
// The width the view needs for its content now.
double fittedWidth(const QWidget *view);

struct Frames {
    NVRect initial; // the frame now
    NVRect optimal; // the frame that would just fit the content now
};
Frames initialAndOptimalFrames(const QWidget *button);
// After the content changed: fits the button to it, keeping the margin.
void autoresize(QWidget *button, const Frames &frames);

// Localizes the button as a control (NVWidgetLocalization::localizeControl)
// and fits it to its translated title.
void localizeAndAutoresize(QWidget *button, const QString &table, const NVBundle *bundle);

} // namespace NVAutoresizing
