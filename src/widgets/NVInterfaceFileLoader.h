#pragma once

#include "foundation/NVError.h"

#include <QUiLoader>

#include <memory>

class NVBundle;

// The one way interface files (Qt Designer ".ui" files in a bundle's
// resources) are loaded. It makes this program's own view classes
// (NVWindowResizingView, NVAutoresizingBox, the autoresizing buttons,
// NVProgressIndicator) for the files that name them, and, once automatic
// localization is switched on, localizes everything it loads with the string
// table named after the file ("NVSoftwareUpdate.ui" uses the table
// "NVSoftwareUpdate") of the bundle that holds the file, menus first
// (NVWidgetLocalization.h).
//
// A file holds one root widget with the views and sheets its controller
// takes out, found by their object names. Bindings and actions are dynamic
// properties: "binding" names a property of the controller whose value the
// widget shows and follows; "action" on a button names the controller's
// invokable method taking the sender (a QObject *) that a click calls.
class NVInterfaceFileLoader : public QUiLoader {
    Q_OBJECT
public:
    // Switches automatic localization on for every file loaded from now on;
    // the application does this once at start-up. Main thread.
    static void enableAutomaticLocalization();
    static bool isAutomaticLocalizationEnabled();

    // Loads "<name>.ui" from bundle's resources (nullptr: the main bundle).
    // Fails with a description naming the file when it is missing or does
    // not load. Main thread.
    static NVResult<std::unique_ptr<QWidget>> loadInterfaceFile(const QString &name, const NVBundle *bundle = nullptr);
    // Loads the file at path, localized with its bundle (bundleForFilePath).
    // Main thread.
    static NVResult<std::unique_ptr<QWidget>> loadInterfaceFileAtPath(const QString &path);

    // The bundle that holds a file: the bundle folder in front of the last
    // "/Contents/Resources/" of the path, else the main bundle. Any thread.
    static const NVBundle *bundleForFilePath(const QString &path);

    // Shows each bound property of controller in its widget and keeps it
    // up to date through the property's notify signal, and connects each
    // button's action. Fails, naming the widget, for a property or method
    // the controller does not have. Main thread.
    static NVResult<void> connectToController(QWidget *root, QObject *controller);

    QWidget *createWidget(const QString &className, QWidget *parent = nullptr, const QString &name = QString()) override;
};
