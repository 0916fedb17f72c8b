#include "install/NVShell.h"

#include "logging/NVLog.h"
#include "platform/NVPipeOutputBuffer.h"
#include "platform/NVProcessTermination.h"

#include <QFile>
#include <QProcess>
#include <QStringDecoder>

#include <unistd.h>

std::shared_ptr<NVShell> NVShell::create()
{
    return std::shared_ptr<NVShell>(new NVShell());
}

NVShell::~NVShell() = default;

void NVShell::setVariable(const QString &name, const std::optional<QString> &value)
{
    if (m_logCommandExecution || m_debugMode)
        NVLog(QStringLiteral("setenv %@=%@"), name, value ? QVariant(*value) : QVariant());
    // The variables belong to this shell and reach only its commands: the
    // process environment is shared with every other thread, and a path
    // written there could leak into children that have nothing to do with
    // this installation.
    if (value)
        m_allVariables.insert(name, QFile::encodeName(*value));
    else
        m_allVariables.remove(name);
}

std::optional<QString> NVShell::lastCommandOutputString() const
{
    if (!m_lastCommandOutput)
        return QString();
    auto decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(*m_lastCommandOutput);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

int NVShell::executeCommand(const QString &commandLine)
{
    if (m_isRootShell)
        return executeRootCommand(commandLine);

    if (m_logCommandExecution || m_debugMode) {
        NVLog(QStringLiteral("shell: %@"), commandLine);
        if (m_debugMode)
            return 0;
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = m_allVariables.cbegin(); it != m_allVariables.cend(); ++it)
        environment.insert(it.key(), QFile::decodeName(it.value()));

    NVPipeOutputBuffer output;
    QProcess process;
    process.setProgram(QStringLiteral("/bin/bash"));
    process.setArguments({QStringLiteral("-c"), commandLine});
    process.setWorkingDirectory(QStringLiteral("/"));
    process.setProcessEnvironment(environment);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    output.setAsStandardOutputOf(process);
    // A process group of its own: a Ctrl-C at the terminal reaches only the
    // updater, which quits through its normal path. The output's modifier
    // (the pipe put in place) runs first.
    process.setChildProcessModifier([outputModifier = process.childProcessModifier()] {
        if (outputModifier)
            outputModifier();
        ::setpgid(0, 0);
    });
    process.start();
    if (!process.waitForStarted(-1)) {
        output.closeWriteEnd();
        NVSULog(QStringLiteral("Cannot start /bin/bash: %@"), process.errorString());
        return -1;
    }
    output.closeWriteEnd();
    process.waitForFinished(-1);
    m_lastCommandOutput = output.data();
    return NVProcessTermination::of(process).status;
}
