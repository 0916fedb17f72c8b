#include "terminal/NVTerminal.h"

#include "foundation/NVFormat.h"
#include "localization/NVSoftwareUpdateStrings.h"
#include "terminal/NVHTMLText.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace Strings = NVSoftwareUpdateStrings;

namespace {

// Nobody types a line this long; the rest of a longer one is dropped, so
// that endless input without line feeds cannot fill the memory.
constexpr qsizetype MaximumLineLength = 4096;
constexpr qsizetype ReadSize = 4096;

// The choice a line names: its number (from 1) as an index, if it is one.
std::optional<int> choiceInLine(const QString &line, const NVTerminalQuestion &question)
{
    bool ok = false;
    const int number = line.trimmed().toInt(&ok);
    if (!ok || number < 1 || number > question.choices.size())
        return std::nullopt;
    return number - 1;
}

// A reader that went away (`| head`, a dropped SSH connection) must not end
// the process with SIGPIPE, perhaps while it replaces the bundle: the signal
// is blocked on this thread while writing and a pending one taken back, so
// that the write merely fails.
void writeWithoutPipeSignal(QIODevice *output, const QByteArray &bytes)
{
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigset_t pending;
    ::sigpending(&pending);
    const bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    output->write(bytes);
    ::sigpending(&pending);
    if (!pendingBefore && sigismember(&pending, SIGPIPE) == 1) {
        const struct timespec now = {0, 0};
        while (::sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace

NVTerminal::NVTerminal(int inputDescriptor, QIODevice *output, NVTerminalOptions options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_inputDescriptor(inputDescriptor)
    , m_output(output)
{
    if (m_inputDescriptor >= 0 && !m_options.assumeYes) {
        m_notifier = std::make_unique<QSocketNotifier>(m_inputDescriptor, QSocketNotifier::Read);
        m_notifier->setEnabled(false);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, &NVTerminal::readInput);
    }
}

NVTerminal::~NVTerminal() = default;

std::unique_ptr<NVTerminal> NVTerminal::standardTerminal(bool assumeYes)
{
    auto output = std::make_unique<QFile>();
    output->open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle);
    NVTerminalOptions options;
    options.outputIsTerminal = ::isatty(STDOUT_FILENO) == 1;
    options.inputIsTerminal = ::isatty(STDIN_FILENO) == 1;
    options.assumeYes = assumeYes;
    options.outputDescriptor = STDOUT_FILENO;
    auto terminal = std::make_unique<NVTerminal>(STDIN_FILENO, output.get(), options);
    terminal->m_ownedOutput = std::move(output);
    return terminal;
}

// ---- output ----------------------------------------------------------------

void NVTerminal::write(const QString &text)
{
    if (text.isEmpty())
        return;
    writeWithoutPipeSignal(m_output, text.toUtf8());
    m_atLineStart = text.endsWith(u'\n');
}

void NVTerminal::printLine(const QString &text)
{
    endStatusLine();
    // A prompt nobody answered stays on its line.
    if (!m_atLineStart)
        write(QStringLiteral("\n"));
    write(NVHTMLText::printableText(text) + u'\n');
}

void NVTerminal::setStatusLine(const QString &text)
{
    QString line = NVHTMLText::printableText(text).replace(u'\n', u' ');
    if (!m_options.outputIsTerminal) {
        write(line + u'\n');
        return;
    }
    struct winsize size = {};
    if (m_options.outputDescriptor >= 0 && ::ioctl(m_options.outputDescriptor, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        line.truncate(size.ws_col - 1);
    if (m_statusLength < 0 && !m_atLineStart)
        write(QStringLiteral("\n"));
    // Blanks over what is left of a longer previous line.
    const qsizetype padding = std::max<qsizetype>(m_statusLength - line.size(), 0);
    write(u'\r' + line + QString(padding, u' '));
    m_statusLength = line.size();
}

void NVTerminal::clearStatusLine()
{
    if (m_statusLength < 0)
        return;
    write(u'\r' + QString(m_statusLength, u' ') + u'\r');
    m_statusLength = -1;
    m_atLineStart = true;
}

void NVTerminal::endStatusLine()
{
    if (m_statusLength < 0)
        return;
    m_statusLength = -1;
    write(QStringLiteral("\n"));
}

// ---- questions -------------------------------------------------------------

NVTerminal::Ticket NVTerminal::ask(NVTerminalQuestion question, Answer answer)
{
    const Ticket ticket = m_nextTicket++;
    m_questions.push_back({ticket, std::move(question), std::move(answer)});
    updateReading();
    scheduleDispatch();
    return ticket;
}

void NVTerminal::withdraw(Ticket ticket)
{
    const auto found = std::find_if(m_questions.begin(), m_questions.end(), [ticket](const Entry &e) { return e.ticket == ticket; });
    if (found == m_questions.end())
        return;
    m_questions.erase(found);
    // The question that comes up again is shown again.
    if (!m_questions.empty())
        m_questions.back().shown = false;
    updateReading();
    scheduleDispatch();
}

std::optional<int> NVTerminal::askModal(NVTerminalQuestion question)
{
    std::optional<int> result;
    bool answered = false;
    QEventLoop loop;
    const Ticket ticket = ask(std::move(question), [&](std::optional<int> choice) {
        result = choice;
        answered = true;
        loop.quit();
    });
    loop.exec();
    if (!answered)
        withdraw(ticket);
    return result;
}

void NVTerminal::scheduleDispatch()
{
    if (std::exchange(m_dispatchScheduled, true))
        return;
    QMetaObject::invokeMethod(this, &NVTerminal::dispatch, Qt::QueuedConnection);
}

void NVTerminal::show(const NVTerminalQuestion &question, bool withChoices)
{
    if (withChoices)
        for (qsizetype i = 0; i < question.choices.size(); ++i)
            printLine(QStringLiteral("  %1  %2").arg(i + 1).arg(question.choices.at(i)));
    if (!question.defaultChoice)
        return;
    endStatusLine();
    if (!m_atLineStart)
        write(QStringLiteral("\n"));
    write(NVFormat::format(localizeString(Strings::_terminalChoicePrompt), {qint64(*question.defaultChoice + 1)}));
}

void NVTerminal::dispatch()
{
    m_dispatchScheduled = false;
    if (m_questions.empty())
        return;
    Entry &top = m_questions.back();
    const NVTerminalQuestion &question = top.question;
    const bool quiet = !question.defaultChoice;
    if (!std::exchange(top.shown, true))
        show(question, true);

    if (m_options.assumeYes) {
        if (quiet)
            return;
        if (question.assumedChoice) {
            write(QString::number(*question.assumedChoice + 1) + u'\n');
        } else {
            write(QStringLiteral("\n"));
            ++m_unansweredQuestions;
        }
        return finish(top.ticket, question.assumedChoice);
    }

    while (!m_lines.isEmpty()) {
        const QString line = m_lines.first();
        const std::optional<int> choice = line.trimmed().isEmpty() ? question.defaultChoice : choiceInLine(line, question);
        m_lines.removeFirst();
        // A terminal has echoed the line and its line feed; anything else
        // gets the answer written, so that the output reads the same.
        if (m_options.inputIsTerminal)
            m_atLineStart = true;
        else if (!quiet)
            write(NVHTMLText::printableText(line) + u'\n');
        if (choice)
            return finish(top.ticket, choice);
        if (quiet)
            continue;
        printLine(NVFormat::format(localizeString(Strings::_terminalInvalidChoice), {qint64(question.choices.size())}));
        show(question, false);
    }
    if (m_inputEnded && !quiet) {
        write(QStringLiteral("\n"));
        finish(top.ticket, std::nullopt);
    }
}

void NVTerminal::finish(Ticket ticket, std::optional<int> choice)
{
    const auto found = std::find_if(m_questions.begin(), m_questions.end(), [ticket](const Entry &e) { return e.ticket == ticket; });
    if (found == m_questions.end())
        return;
    Answer answer = std::move(found->answer);
    m_questions.erase(found);
    if (!m_questions.empty())
        m_questions.back().shown = false;
    updateReading();
    scheduleDispatch();
    // Last: the answer may ask, withdraw, or delete whoever asked.
    if (answer)
        answer(choice);
}

// ---- input -----------------------------------------------------------------

void NVTerminal::updateReading()
{
    if (m_notifier)
        m_notifier->setEnabled(!m_questions.empty() && !m_inputEnded);
}

void NVTerminal::readInput()
{
    char buffer[ReadSize];
    const ssize_t n = ::read(m_inputDescriptor, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        // The end, or an input that cannot be read: the same to a person.
        if (!m_partialLine.isEmpty())
            m_lines << QString::fromUtf8(std::exchange(m_partialLine, {}));
        m_inputEnded = true;
        updateReading();
        scheduleDispatch();
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        const char c = buffer[i];
        if (c == '\n') {
            if (m_partialLine.endsWith('\r'))
                m_partialLine.chop(1);
            m_lines << QString::fromUtf8(std::exchange(m_partialLine, {}));
        } else if (m_partialLine.size() < MaximumLineLength) {
            m_partialLine += c;
        }
    }
    scheduleDispatch();
}
