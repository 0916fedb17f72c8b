#pragma once

#include <QObject>

// The core knows windows only by this handle, so that it builds and runs
// without a display. In the Widgets layer the handle is the QWidget of the
// window (or any widget inside it); nullptr stands for "no window".
using NVWindowHandle = QObject *;
