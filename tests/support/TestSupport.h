#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QMap>
#include <QVariantMap>

// Tests use threads and atomics through this header.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace TestSupport {

// The updater bundle the build assembled, and its executable.
QString bundlePath();
QString bundleExecutable();

struct ProcessResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a program to completion (at most 60 s) with extra environment entries
// on top of this process's environment.
ProcessResult run(const QString &program, const QStringList &arguments, const QProcessEnvironment &extra = QProcessEnvironment());

// Turns the event loop until condition() holds or the timeout passes;
// answers the final value of condition().
bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Writes bytes to a file, creating parent folders.
void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

// Writes a bundle's Contents/Info.plist (XML) from a dictionary.
void writeInfoPlist(const QString &bundlePath, const QVariantMap &info);

// Every entry below a folder by relative path: type, the permission bits
// that modeMask picks, and the content's SHA-256 or the link's text.
QMap<QString, QString> treeSnapshot(const QString &root, unsigned modeMask = 07777);

// An application bundle named bundleName in parent, with blanks and brackets
// in its names, an executable of binarySize bytes (large enough to span many
// compression blocks), a symbolic link and an empty folder. Answers its path.
QString makeSampleBundle(const QString &parent, const QString &bundleName, int binarySize);

} // namespace TestSupport
