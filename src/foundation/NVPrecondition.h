#pragma once

#include <QString>

// Reports a programming error and ends the process. Unlike Q_ASSERT and
// assert(), it is compiled into every build type: a caller that breaks a
// contract (a search range outside the data, a second singleton) must never
// run on with a corrupt state in a release build. Any thread; does not return.
[[noreturn]] void NVPreconditionFailure(const QString &message);

// NV_PRECONDITION(condition, message): when the condition is false, writes the
// message through qFatal and aborts. The message is only evaluated on failure,
// so building it may be expensive.
#define NV_PRECONDITION(condition, message)                                                                            \
    do {                                                                                                               \
        if (Q_UNLIKELY(!(condition)))                                                                                  \
            ::NVPreconditionFailure(message);                                                                          \
    } while (false)
