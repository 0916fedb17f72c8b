#include "foundation/NVPrecondition.h"

#include <QtGlobal>

#include <cstdlib>

void NVPreconditionFailure(const QString &message)
{
    qFatal("%s", qUtf8Printable(message));
    // qFatal does not return, but a message handler installed by someone else
    // might; the process must end either way.
    std::abort();
}
