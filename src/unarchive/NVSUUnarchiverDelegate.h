#pragma once

#include "foundation/NVError.h"

#include <memory>
#include <optional>

class NVSUUnarchiver;

// What an unarchiver tells the object that waits for it. Both methods are
// optional: the defaults do nothing.
//
// An unarchiver holds its delegate weakly. Every delegate carries a lifetime
// token that ends with it, and the unarchiver drops its callbacks once the
// token has ended, so a delegate may go away while an archive is still being
// unpacked. The token is checked and the callback made on the unarchiver's
// thread, which must be the delegate's thread too.
class NVSUUnarchiverDelegate {
public:
    NVSUUnarchiverDelegate() = default;
    // A copy is another delegate with a lifetime of its own.
    NVSUUnarchiverDelegate(const NVSUUnarchiverDelegate &) {}
    NVSUUnarchiverDelegate &operator=(const NVSUUnarchiverDelegate &) { return *this; }
    virtual ~NVSUUnarchiverDelegate() = default;

    // The fraction done, from 0.0 to 1.0. The unarchivers send 1.0 once, when
    // their tool has ended, right before unarchiverFinishedWithError. Called
    // from the event loop of the unarchiver's thread.
    virtual void unarchiverProgress(NVSUUnarchiver *unarchiver, double progress) {}

    // Sent exactly once per start: nothing means success, after which
    // unarchivedContentPath() names the unpacked content. The delegate may
    // delete the unarchiver from here: nothing touches it after this returns.
    // Called from the event loop of the unarchiver's thread.
    virtual void unarchiverFinishedWithError(NVSUUnarchiver *unarchiver, const std::optional<NVError> &error) {}

private:
    friend class NVSUUnarchiver;
    std::shared_ptr<const int> m_lifetime = std::make_shared<const int>(0);
};
