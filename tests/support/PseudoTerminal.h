#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

#include <sys/types.h>

// A program run under a pseudo-terminal of its own, as a person at a
// terminal runs it: the test types (echoed as a terminal echoes), presses
// Ctrl-C, and reads the screen. Standard input and output may instead be
// /dev/null and a pipe, as a script would have them.
//
// Everything is read as the test waits, from the event loop's thread; the
// waits take a generous deadline and return as soon as the condition holds.
class PseudoTerminal {
public:
    struct Options {
        QString program;
        QStringList arguments;
        QProcessEnvironment environment;  // the whole environment of the program
        bool inputFromDevNull = false;
        bool outputToPipe = false;
    };

    explicit PseudoTerminal(const Options &options);
    // Kills the program if it still runs, and reaps it.
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool started() const { return m_pid > 0; }

    void type(const QByteArray &keys);
    // Ctrl-C: the terminal sends SIGINT to the program's process group.
    void interrupt() { type("\x03"); }

    // Everything the terminal showed so far, and what went to the pipe.
    QString screen();
    QString pipeOutput();
    // Turns the event loop until the screen holds text.
    bool waitForScreen(const QString &text, std::chrono::milliseconds timeout = std::chrono::seconds(120));
    // The exit status, or 128 + the signal that ended the program; nothing
    // when it still runs at the deadline.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(120));

private:
    void drain();

    pid_t m_pid = -1;
    int m_master = -1;
    int m_pipe = -1;
    QByteArray m_screen;
    QByteArray m_pipeOutput;
    std::optional<int> m_status;
};
