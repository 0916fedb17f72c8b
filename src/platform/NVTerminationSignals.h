#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a request to quit through the
// application's normal termination, so that download folders are removed and
// images detached. The signal handler only writes the signal's number into
// a pipe; the main thread reads it from the event loop and emits
// terminationRequested, which the application routes through
// NVTerminationGuard, so that a signal that comes during the bundle
// replacement waits until the replacement has returned.
//
// One object at a time per process; destroying it restores the handlers
// that were there before.
class NVTerminationSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers. Main thread.
    explicit NVTerminationSignals(QObject *parent = nullptr);
    ~NVTerminationSignals() override;

Q_SIGNALS:
    // Once per signal received, on the main thread.
    void terminationRequested(int signal);

private:
    void readSignals();

    int m_pipe[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
};
