// The password prompt sudo runs (as SUDO_ASKPASS) when an update needs
// administrator rights. sudo passes the prompt as the only argument; the
// updater asks sudo for just the name of the account whose password is
// wanted. The password goes to standard output followed by a line feed.
//
// With a display the prompt is a small window; without one it is asked on
// the terminal (/dev/tty) with echo off. No way to ask counts as a cancel.
//
// The updater tells a cancel from a wrong password through the folder named
// by NVSU_ASKPASS_STATE: every time this program is asked it appends a line
// to "asked" there, and a cancel creates "cancelled". A wrong password makes
// sudo (or the updater) ask again, and a non-empty "asked" tells the prompt
// to say that the last password was not accepted.
//
// Exit status: 0 with a password, 1 when the user cancelled. A prompt that
// ends any other way leaves the cancel mark too.

#include "platform/NVBundle.h"
#include "install/NVAuthorization.h"
#include "localization/NVLocalization.h"
#include "widgets/NVAskpassDialog.h"

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QString>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString stateFile(const QString &name)
{
    const QByteArray folder = qgetenv(NVAuthorization::AskpassStateVariable.constData());
    return folder.isEmpty() ? QString() : QFile::decodeName(folder) + u'/' + name;
}

// Notes this request and answers whether an earlier one came first.
bool noteRequest()
{
    const QString path = stateFile(NVAuthorization::AskedFileName);
    if (path.isEmpty())
        return false;
    QFile asked(path);
    if (!asked.open(QIODevice::ReadWrite | QIODevice::Append))
        return false;
    const bool earlier = asked.size() > 0;
    asked.write("asked\n");
    return earlier;
}

int cancel()
{
    const QString path = stateFile(NVAuthorization::CancelledFileName);
    if (!path.isEmpty()) {
        QFile marker(path);
        if (marker.open(QIODevice::WriteOnly))
            marker.write("cancelled\n");
    }
    return 1;
}

int answer(const QByteArray &password)
{
    const QString marker = stateFile(NVAuthorization::CancelledFileName);
    if (!marker.isEmpty())
        QFile::remove(marker);
    std::fwrite(password.constData(), 1, size_t(password.size()), stdout);
    std::fputc('\n', stdout);
    return std::fflush(stdout) == 0 ? 0 : cancel();
}

volatile sig_atomic_t interrupted = 0;
void noteInterrupt(int) { interrupted = 1; }

void writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            return;
        done += n;
    }
}

// Asks on the controlling terminal with echo off. Ctrl-C, Ctrl-D or no
// terminal at all count as a cancel.
int askOnTerminal(const QString &userName, bool retry)
{
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0)
        return cancel();

    struct sigaction action = {};
    action.sa_handler = noteInterrupt; // no SA_RESTART: the read must end
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(signal, &action, nullptr);

    termios saved = {};
    const bool isTerminal = ::tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= tcflag_t(~(ECHO | ECHONL));
        quiet.c_lflag |= ICANON;
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }

    const QString label = NVLocalization::localizedStringFromTable(QStringLiteral("_askpassPasswordLabel"),
                                                                   NVAskpassDialog::Table);
    writeAll(tty, (NVAskpassDialog::message(userName, retry) + u'\n' + label + u' ').toLocal8Bit());

    QByteArray password;
    bool ended = false; // a line feed was read
    while (!interrupted) {
        char byte;
        const ssize_t n = ::read(tty, &byte, 1);
        if (n <= 0)
            break;
        if (byte == '\n' || byte == '\r') {
            ended = true;
            break;
        }
        password += byte;
    }

    if (isTerminal)
        ::tcsetattr(tty, TCSAFLUSH, &saved);
    writeAll(tty, "\n");
    ::close(tty);
    if (!ended || interrupted)
        return cancel();
    return answer(password);
}

} // namespace

int main(int argc, char **argv)
{
    // sudo runs in the C locale so that its messages can be read; the
    // user's own language comes in a variable of its own.
    if (const QByteArray language = qgetenv(NVAuthorization::AskpassLanguageVariable.constData()); !language.isEmpty())
        qputenv("LANGUAGE", language);
    // Resolve the bundle before anything else, for the string tables.
    NVBundle::mainBundle();
    const QString userName = argc > 1 ? QString::fromLocal8Bit(argv[1]).trimmed() : QString();
    const bool retry = noteRequest();
    // Until there is a password this counts as a cancel, so that a prompt
    // that cannot show itself (the display refuses the connection and Qt
    // aborts) ends the request instead of being started again for ever.
    cancel();

    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return askOnTerminal(userName, retry);

    QApplication application(argc, argv);
    NVAskpassDialog dialog(userName, retry);
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    if (dialog.exec() != QDialog::Accepted)
        return cancel();
    return answer(dialog.password().toUtf8());
}
