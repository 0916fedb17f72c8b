#include "model/NVModelPrecondition.h"

#include <QtGlobal>

#include <cstdlib>

void NVModelPreconditionFailure(const QString &message)
{
    qFatal("%s", qUtf8Printable(message));
    // qFatal does not return, but a message handler installed elsewhere
    // might; the process must end either way.
    std::abort();
}
