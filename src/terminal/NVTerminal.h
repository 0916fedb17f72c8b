#pragma once

#include "localization/NVLocalization.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QIODevice;
class QSocketNotifier;

struct NVTerminalOptions {
    // The output is a terminal: a status line is rewritten in place with a
    // carriage return. Otherwise every status line is a line of its own.
    bool outputIsTerminal = false;
    // The input is a terminal, which echoes what is typed. Otherwise the
    // terminal writes each answer it reads after its prompt, so that the
    // output reads the same.
    bool inputIsTerminal = false;
    // Nothing is read: every question is answered with its assumed choice.
    bool assumeYes = false;
    // The output's descriptor, to ask the terminal's width: a status line
    // that wrapped could not be rewritten in place. -1: none.
    int outputDescriptor = -1;
};

// A question with numbered choices ("  1  Skip This Version"), answered by a
// line holding a number; an empty line takes the default.
struct NVTerminalQuestion {
    QStringList choices;
    // The choice an empty line takes; shown in the prompt ("Choice [3]: ").
    // A question without one is quiet: it shows its choices but no prompt,
    // takes only a line with one of its numbers and ignores any other line
    // (Enter pressed during a download must not cancel it), and neither the
    // end of the input nor --assume-yes answers it. A transfer's cancel
    // button is one.
    std::optional<int> defaultChoice;
    // What --assume-yes answers; none: the question is answered as if the
    // input had ended (nobody is there to answer it).
    std::optional<int> assumedChoice;
};

// The terminal the update is shown on: an output for lines and one status
// line, and an input read as lines that answer questions. Questions stack:
// the latest one asked and not yet answered or withdrawn is the one shown
// and answered; when it goes, the one below it is shown again. Lines typed
// ahead wait for the next question.
//
// The input is read only while a question waits, so that other programs
// on the same terminal (the password prompt of sudo) get what is typed for
// them. It is read without blocking the event loop (a socket notifier), and
// the end of the input (Ctrl-D, a closed pipe, /dev/null) answers the
// questions that need an answer with nothing.
//
// Every text written is cleared of control characters first: texts from
// the network (release notes, host names in errors) must not steer the
// terminal. No cursor-movement codes are ever written; a status line on a
// terminal is rewritten with "\r" and blanks.
//
// Main thread, every method.
class NVTerminal : public QObject, public NVLocalizable {
    Q_OBJECT
public:
    NV_LOCALIZATION_TABLE("NVSoftwareUpdate")

    // The choice by index from 0, or nothing when the input ended.
    using Answer = std::function<void(std::optional<int> choice)>;
    using Ticket = quint64;

    // Reads lines from inputDescriptor (not closed here; -1: none) and
    // writes to output (not owned; must outlive the terminal).
    NVTerminal(int inputDescriptor, QIODevice *output, NVTerminalOptions options, QObject *parent = nullptr);
    ~NVTerminal() override;

    // The process's standard input and output, with what isatty says of them.
    static std::unique_ptr<NVTerminal> standardTerminal(bool assumeYes);

    const NVTerminalOptions &options() const { return m_options; }

    // Writes text and a line break, ending the status line first.
    void printLine(const QString &text = QString());
    // Shows text as the status line: rewritten in place on a terminal,
    // otherwise written as a line.
    void setStatusLine(const QString &text);
    // Moves past a status line on a terminal, so that it stays as it is.
    void endStatusLine();
    // Blanks a status line on a terminal and goes back to its start.
    void clearStatusLine();

    // Asks; the answer is called once, later, from the event loop, unless
    // the question is withdrawn first. Returns at once.
    Ticket ask(NVTerminalQuestion question, Answer answer);
    // Forgets a question (nothing when it was answered already).
    void withdraw(Ticket ticket);
    // Asks and waits for the answer. Blocks in a nested event loop; answers
    // nothing also when the application quits meanwhile.
    std::optional<int> askModal(NVTerminalQuestion question);

    // Whether the input has ended (nothing more will be read).
    bool inputEnded() const { return m_inputEnded; }

    // How many questions --assume-yes could not answer (they had no assumed
    // choice): a script that ran into a failure must not exit with success.
    int unansweredQuestions() const { return m_unansweredQuestions; }

private:
    struct Entry {
        Ticket ticket = 0;
        NVTerminalQuestion question;
        Answer answer;
        bool shown = false;
    };

    void readInput();
    void scheduleDispatch();
    void dispatch();
    void show(const NVTerminalQuestion &question, bool withChoices);
    void finish(Ticket ticket, std::optional<int> choice);
    void updateReading();
    void write(const QString &text);

    const NVTerminalOptions m_options;
    const int m_inputDescriptor;
    QIODevice *m_output;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<QIODevice> m_ownedOutput;
    QByteArray m_partialLine;
    QStringList m_lines;
    bool m_inputEnded = false;
    std::vector<Entry> m_questions;
    Ticket m_nextTicket = 1;
    bool m_dispatchScheduled = false;
    qsizetype m_statusLength = -1; // -1: no status line shown
    bool m_atLineStart = true;
    int m_unansweredQuestions = 0;
};
