#pragma once

#include <QStringList>
#include <QTextStream>

class NVUserDefaults;

// The "defaults" subcommand, through which the product application and users
// read and change the updater's settings:
//   defaults read [KEY]
//   defaults write KEY [-string|-int|-float|-bool|-date|-data|-array|-dict] VALUE...
//   defaults delete KEY
// arguments are the words after "defaults". Answers the process exit status:
// 0 on success, 1 for a missing key or a bad value (with a message on err),
// 2 for a usage error. Main thread; blocks on the settings file.
int NVRunDefaultsCommand(const QStringList &arguments, NVUserDefaults &defaults, QTextStream &out, QTextStream &err);
