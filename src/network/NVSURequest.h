#pragma once

#include <QNetworkRequest>
#include <QString>
#include <QUrl>

// Building the requests the update run sends: the feed and the archive
// download. Both bypass every cache, have no overall time limit (a large
// download on a slow line may take hours; a stalled one is ended by the
// session's stall timeout instead) and carry the User-Agent below.

// The eight values the User-Agent is made of, as read from the system. Empty
// values are replaced by their fallbacks when the string is built.
struct NVUserAgentValues {
    QString appName;           // the main bundle's CFBundleName
    QString appVersion;        // the main bundle's CFBundleVersion
    QString frameworkName;     // "QtNetwork"
    QString frameworkVersion;  // the Qt version the process runs with
    QString system;            // uname: sysname
    QString systemVersion;     // uname: release
    QString architecture;      // uname: machine
    QString model;             // the machine's product name, see currentValues()
};

namespace NVSUExtensions {

// A GET request for url that ignores local caches and has no time-out, with
// the User-Agent set. Any thread.
QNetworkRequest nvsuRequestWithURL(const QUrl &url);

// The process's User-Agent, built on the first call from
// NVUserAgentValues::currentValues() and kept for the process's life. Any
// thread: the first call is guarded so that concurrent callers all see one
// string.
const QString &defaultUserAgentStringIncludingModelIdentifier();

// "App/Version QtNetwork/6.4.2 Linux/6.1.0 (x86_64) (Model)": each value
// replaced by its fallback when empty ("UnknownApp", ...), then
// percent-encoded so that only letters, marks, digits, "." and "_" stay as
// they are. Encoding keeps the string's shape whatever a value holds: exactly
// three "/" separators, two parenthesised groups and four blanks. Any thread.
QString userAgentString(const NVUserAgentValues &values);

// The values of this process and machine. The model is the firmware's
// product name (/sys/devices/virtual/dmi/id/product_name), else the device
// tree's model (boards without DMI), else empty. Any thread; reads a few
// small files.
NVUserAgentValues currentUserAgentValues();

} // namespace NVSUExtensions

namespace NVExtensions {

// Sets the "User-Agent" header of request to the process's User-Agent.
// Any thread.
void setDefaultUserAgentStringIncludingModelIdentifier(QNetworkRequest &request);

} // namespace NVExtensions
