#pragma once

#include "foundation/NVError.h"

#include <QString>

// The user's private temporary directory for downloads and mounted images:
// ${XDG_CACHE_HOME:-$HOME/.cache}/<identifier>/tmp. The shared /tmp is not
// used because another local user could prepare a path there in advance.
//
// The directory is created with mode 0700 and then opened without following
// links and checked: it must be a directory, owned by the user, mode 0700,
// and so must its parent "<identifier>" folder. Anything else is refused
// with an error and nothing is written there.
namespace NVTemporaryDirectory {

// The path for an identifier, without touching the file system. Any thread.
QString pathForIdentifier(const QString &identifier);

// Creates (when missing) and checks the directory; answers its path.
// Any thread; blocks briefly on the file system.
NVResult<QString> ensure(const QString &identifier);

// ensure() for the main bundle's identifier (or the executable's name).
NVResult<QString> privateTemporaryDirectory();

// Checks an existing directory as ensure() does, without creating anything.
NVResult<void> check(const QString &path);

} // namespace NVTemporaryDirectory
