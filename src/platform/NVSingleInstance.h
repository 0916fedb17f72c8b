#pragma once

#include <QObject>
#include <QString>

// One process per session and identifier. The first process owns the
// session-bus name equal to its bundle identifier and exports OpenURL(s) at
// Path on Interface; a later process hands its URL to that owner and ends.
// Without a session bus (or without an identifier) every process runs alone.
class NVSingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "norvane.SoftwareUpdate")
public:
    static inline const QString Path = QStringLiteral("/norvane/SoftwareUpdate");
    static inline const QString Interface = QStringLiteral("norvane.SoftwareUpdate");

    enum class Claim {
        Owner,      // this process owns the name and receives URLs
        HandedOver, // another process owns it and has the URL (if any): end now
        Alone,      // no bus, or the bus would not answer: run without the name
    };

    // Main thread.
    explicit NVSingleInstance(QString identifier, QObject *parent = nullptr);
    ~NVSingleInstance() override;

    // Takes the name, or hands `url` to the process that has it. An owner
    // that goes away between the two steps (it is quitting) is raced for
    // again. Blocks on the bus for as long as the owner takes to answer;
    // main thread, before the event loop runs.
    Claim claim(const QString &url);
    // Lets the name go, so that a URL sent from now on starts a new process
    // rather than reaching one that is about to quit. Main thread.
    void release();

public Q_SLOTS:
    // Called over the bus by a later process. Main thread.
    Q_SCRIPTABLE void OpenURL(const QString &url);

Q_SIGNALS:
    void URLReceived(const QString &url);

private:
    const QString m_identifier;
    bool m_registeredObject = false;
    bool m_ownsName = false;
};
