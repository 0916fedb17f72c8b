#pragma once

#include <QString>

// Reports a programming error of the update model (a nil version handed to a
// constructor) and ends the process. It is compiled into every build type:
// a model object in a state its class promises never to have must not live
// on in a release build. Any thread; does not return.
[[noreturn]] void NVModelPreconditionFailure(const QString &message);

// When the condition is false, writes the message through qFatal and aborts.
// The message is evaluated only on failure.
#define NV_MODEL_PRECONDITION(condition, message)                                                                      \
    do {                                                                                                               \
        if (Q_UNLIKELY(!(condition)))                                                                                  \
            ::NVModelPreconditionFailure(message);                                                                     \
    } while (false)
