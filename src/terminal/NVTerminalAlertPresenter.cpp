#include "terminal/NVTerminalAlertPresenter.h"

#include "foundation/NVFormat.h"
#include "localization/NVSoftwareUpdateStrings.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QSslCertificate>

namespace Strings = NVSoftwareUpdateStrings;

namespace {

QString text(const QString &key)
{
    return NVLocalization::localizedStringFromTable(key, Strings::Table);
}

// "CN=updates.velkin.test, O=Norvane": every attribute of the name, in the
// certificate's order.
QString distinguishedName(const QSslCertificate &certificate, bool issuer)
{
    QStringList parts;
    const QList<QByteArray> attributes = issuer ? certificate.issuerInfoAttributes() : certificate.subjectInfoAttributes();
    for (const QByteArray &attribute : attributes) {
        const QStringList values = issuer ? certificate.issuerInfo(attribute) : certificate.subjectInfo(attribute);
        for (const QString &value : values)
            parts << QString::fromLatin1(attribute) + u'=' + value;
    }
    return parts.join(QStringLiteral(", "));
}

QString date(const QDateTime &moment)
{
    return moment.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

} // namespace

NVTerminalAlertPresenter::NVTerminalAlertPresenter(NVTerminal *terminal)
    : m_terminal(terminal)
{
}

NVTerminalQuestion NVTerminalAlertPresenter::show(const NVAlert &alert)
{
    NVTerminalQuestion question;
    question.choices = alert.buttonTitles.isEmpty() ? QStringList{text(Strings::_terminalOKButtonTitle)} : alert.buttonTitles;
    question.defaultChoice = 0;
    question.assumedChoice = 0;
    if (!m_terminal)
        return question;
    m_terminal->printLine();
    m_terminal->printLine(alert.messageText);
    if (!alert.informativeText.isEmpty())
        m_terminal->printLine(alert.informativeText);
    m_terminal->printLine();
    return question;
}

int NVTerminalAlertPresenter::runModal(const NVAlert &alert)
{
    const NVTerminalQuestion question = show(alert);
    if (!m_terminal)
        return NSAlertFirstButtonReturn;
    // Nobody left to answer: the default button, as a closed dialog answers.
    return NSAlertFirstButtonReturn + m_terminal->askModal(question).value_or(0);
}

void NVTerminalAlertPresenter::beginSheetModalForWindow(const NVAlert &alert, NVWindowHandle, CompletionHandler completionHandler)
{
    const NVTerminalQuestion question = show(alert);
    if (!m_terminal)
        return;
    m_terminal->ask(question, [handler = std::move(completionHandler)](std::optional<int> choice) {
        if (handler)
            handler(NSAlertFirstButtonReturn + choice.value_or(0));
    });
}

NVTerminalCertificatePanel::NVTerminalCertificatePanel(NVTerminal *terminal)
    : m_terminal(terminal)
{
}

QStringList NVTerminalCertificatePanel::describeChain(const QList<QByteArray> &chain)
{
    QStringList lines;
    for (qsizetype i = 0; i < chain.size(); ++i) {
        lines << NVFormat::format(text(Strings::_certificateHeadingFormat), {qint64(i + 1), qint64(chain.size())});
        const QSslCertificate certificate(chain.at(i), QSsl::Der);
        // An unreadable certificate still has bytes to compare.
        if (!certificate.isNull()) {
            lines << NVFormat::format(text(Strings::_certificateSubjectFormat), {distinguishedName(certificate, false)});
            lines << NVFormat::format(text(Strings::_certificateIssuerFormat), {distinguishedName(certificate, true)});
            lines << NVFormat::format(text(Strings::_certificateValidityFormat),
                                      {date(certificate.effectiveDate()), date(certificate.expiryDate())});
        }
        const QByteArray fingerprint = QCryptographicHash::hash(chain.at(i), QCryptographicHash::Sha256).toHex(':').toUpper();
        lines << NVFormat::format(text(Strings::_certificateFingerprintFormat), {QString::fromLatin1(fingerprint)});
    }
    return lines;
}

void NVTerminalCertificatePanel::runModalForTrust(const QList<QByteArray> &chain, const QString &defaultButtonTitle)
{
    if (!m_terminal)
        return;
    m_terminal->printLine();
    for (const QString &line : describeChain(chain))
        m_terminal->printLine(line);
    m_terminal->printLine();
    NVTerminalQuestion question;
    question.choices = {defaultButtonTitle};
    question.defaultChoice = 0;
    question.assumedChoice = 0;
    m_terminal->askModal(question);
}
