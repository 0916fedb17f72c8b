#pragma once

#include <QList>
#include <QString>

class NVBundle;
class QObject;
class QWidget;

// Replaces the texts of loaded widgets by their translations: each text of
// an interface file is a key of the file's string table. A text is looked
// up only when it is not empty and set only when the translation differs, so
// a key without an entry keeps the file's text.
//
// What each class localizes, after its child widgets:
//   every widget   tool tip, accessible name and description; its actions
//   windows        the window title
//   buttons        the text, unless the button shows its icon only
//   labels         the text
//   line edits, text edits, plain text edits, combo boxes: the placeholder
//   group boxes    the title
//   combo boxes    the items, unless a model of someone else's holds them
//   tab bars       the labels and their tool tips
//   tree and table widgets: the header items and their tool tips
//   menus          the title, then the actions; actions: text, tool tip,
//                  status tip, "What's This?", then their menu
//   bound widgets  the display pattern and the placeholder of the binding
//                  (the dynamic properties "bindingDisplayPattern" and
//                  "bindingNullPlaceholder")
// Objects that implement NVLocalizable (the autoresizing buttons and box)
// localize themselves their own way instead.
//
// Main thread, all of them.
namespace NVWidgetLocalization {

inline constexpr const char *BindingProperty = "binding";
inline constexpr const char *BindingDisplayPatternProperty = "bindingDisplayPattern";
inline constexpr const char *BindingNullPlaceholderProperty = "bindingNullPlaceholder";

// The objects of one interface file, menus before everything else.
void localizeTopLevelObjects(const QList<QObject *> &objects, const QString &table, const NVBundle *bundle);

// Asks one object to localize itself: its own way if it has one, else as
// its class says (localizeWidget).
void localizeObject(QObject *object, const QString &table, const NVBundle *bundle);

// The localization of the widget's class, whatever the widget's own way.
void localizeWidget(QWidget *widget, const QString &table, const NVBundle *bundle);

// The part every control shares: child widgets, the widget's own texts,
// actions and the title it shows (a button's text, a combo box's current
// item), without the lists of items a class may hold.
void localizeControl(QWidget *widget, const QString &table, const NVBundle *bundle);

} // namespace NVWidgetLocalization
