// nvsu-release: the maker's release tool. It makes test keys, packages an
// application bundle, signs the archive in place, checks a signature exactly
// as the updater will, and writes the update feed.

#include "driver/NVSUCodeSignature.h"
#include "foundation/NVPropertyList.h"
#include "install/NVSUBundleReplacement.h"
#include "platform/NVCertificateMaker.h"
#include "platform/NVCodeSigning.h"
#include "platform/NVProcessTermination.h"

#include "NVToolCommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QTextStream>

#include <functional>

namespace {

enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

// QCommandLineParser names the program by its path; the usage line should
// read as the command is typed.
QString helpText(const QCommandLineParser &parser, const QString &command)
{
    QString text = parser.helpText();
    const qsizetype start = text.indexOf(QLatin1String("Usage: "));
    const qsizetype end = text.indexOf(QLatin1String(" [options]"));
    if (start == 0 && end > start)
        text.replace(7, end - 7, QStringLiteral("nvsu-release ") + command);
    return text;
}

int fail(const QString &message)
{
    err() << "nvsu-release: " << message << Qt::endl;
    return Failure;
}

// Parses one subcommand's arguments; prints help or the usage error itself.
// Returns an exit code when the command should stop here.
std::optional<int> parse(QCommandLineParser &parser, const QString &command, const QStringList &arguments, int positionalCount)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help."));
    parser.addOption(help);
    if (!parser.parse(QStringList{QStringLiteral("nvsu-release ") + command} + arguments)) {
        err() << "nvsu-release " << command << ": " << parser.errorText() << "\n\n" << helpText(parser, command);
        return UsageError;
    }
    if (parser.isSet(help)) {
        out() << helpText(parser, command);
        return Success;
    }
    if (parser.positionalArguments().size() != positionalCount) {
        err() << "nvsu-release " << command << ": expected " << positionalCount << " argument(s)\n\n" << helpText(parser, command);
        return UsageError;
    }
    return std::nullopt;
}

std::optional<int> requireOptions(QCommandLineParser &parser, const QString &command, const QList<QCommandLineOption> &required)
{
    for (const QCommandLineOption &option : required) {
        if (!parser.isSet(option)) {
            err() << "nvsu-release " << command << ": --" << option.names().constLast() << " is required\n\n" << helpText(parser, command);
            return UsageError;
        }
    }
    return std::nullopt;
}

// ---- keys -----------------------------------------------------------------------------

bool writeFile(const QString &path, const QByteArray &contents, bool secret, QString *problem)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *problem = QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    if (secret)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(contents);
    if (!file.commit()) {
        *problem = QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

int keysCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Makes a test code-signing root (CodeSigningAnchors.pem), an intermediate and a team\n"
        "certificate with its key (subject OU = the team, with the distribution extension), and a\n"
        "TLS test authority (ServerTrustAnchors.pem) with a server certificate for localhost,\n"
        "127.0.0.1, 127.0.0.2 and ::1. For tests and demonstrations only."));
    const QCommandLineOption output(QStringLiteral("output"), QStringLiteral("The folder to write into (created if missing)."), QStringLiteral("DIR"));
    const QCommandLineOption team(QStringLiteral("team"), QStringLiteral("The team identifier (default %1).").arg(NVSUCodeSignatureTeamIdentifier),
                                  QStringLiteral("ID"), NVSUCodeSignatureTeamIdentifier);
    const QCommandLineOption force(QStringLiteral("force"), QStringLiteral("Replaces files that are already there."));
    parser.addOptions({output, team, force});
    if (auto stop = parse(parser, QStringLiteral("keys"), arguments, 0))
        return *stop;
    if (auto stop = requireOptions(parser, QStringLiteral("keys"), {output}))
        return *stop;

    const QDir directory(parser.value(output));
    if (!QDir().mkpath(directory.path()))
        return fail(QStringLiteral("cannot create \"%1\"").arg(directory.path()));

    using Role = NVCertificateRequest::Role;
    NVCertificateRequest rootRequest;
    rootRequest.role = Role::Authority;
    rootRequest.commonName = QStringLiteral("Norvane Test Code Signing Root");
    rootRequest.organization = QStringLiteral("Norvane Test");
    NVCertificateRequest intermediateRequest;
    intermediateRequest.role = Role::Authority;
    intermediateRequest.commonName = QStringLiteral("Norvane Test Distribution CA");
    intermediateRequest.organization = QStringLiteral("Norvane Test");
    intermediateRequest.pathLength = 0;
    NVCertificateRequest leafRequest;
    leafRequest.role = Role::CodeSigning;
    leafRequest.commonName = QStringLiteral("Distribution: Norvane (%1)").arg(parser.value(team));
    leafRequest.organization = QStringLiteral("Norvane");
    leafRequest.organizationalUnit = parser.value(team);
    leafRequest.distributionExtension = true;
    leafRequest.notAfter = QDateTime::currentDateTimeUtc().addYears(5);
    NVCertificateRequest tlsAuthorityRequest;
    tlsAuthorityRequest.role = Role::Authority;
    tlsAuthorityRequest.commonName = QStringLiteral("Norvane Test TLS Authority");
    tlsAuthorityRequest.organization = QStringLiteral("Norvane Test");
    NVCertificateRequest serverRequest;
    serverRequest.role = Role::TLSServer;
    serverRequest.commonName = QStringLiteral("localhost");
    serverRequest.dnsNames = {QStringLiteral("localhost")};
    serverRequest.ipAddresses = {QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2"), QStringLiteral("::1")};

    auto root = NVCertificateMaker::make(rootRequest);
    if (!root)
        return fail(root.error().localizedDescription());
    auto intermediate = NVCertificateMaker::make(intermediateRequest, &root.value());
    if (!intermediate)
        return fail(intermediate.error().localizedDescription());
    auto leaf = NVCertificateMaker::make(leafRequest, &intermediate.value());
    if (!leaf)
        return fail(leaf.error().localizedDescription());
    auto tlsAuthority = NVCertificateMaker::make(tlsAuthorityRequest);
    if (!tlsAuthority)
        return fail(tlsAuthority.error().localizedDescription());
    auto server = NVCertificateMaker::make(serverRequest, &tlsAuthority.value());
    if (!server)
        return fail(server.error().localizedDescription());

    struct Output {
        const char *name;
        QByteArray contents;
        bool secret;
        const char *what;
    };
    const QList<Output> outputs = {
        {"CodeSigningAnchors.pem", root->certificatePEM(), false, "code-signing root: the bundle's trust anchors"},
        {"code-signing-root-key.pem", root->privateKeyPEM(), true, "its key"},
        {"code-signing-intermediate.pem", intermediate->certificatePEM(), false, "intermediate"},
        {"code-signing-chain.pem", intermediate->certificatePEM(), false, "the intermediates: sign --chain"},
        {"code-signing-intermediate-key.pem", intermediate->privateKeyPEM(), true, "its key"},
        {"code-signing-certificate.pem", leaf->certificatePEM(), false, "team certificate: sign --certificate"},
        {"code-signing-key.pem", leaf->privateKeyPEM(), true, "its key: sign --key"},
        {"ServerTrustAnchors.pem", tlsAuthority->certificatePEM(), false, "TLS test authority: the bundle's server trust anchors"},
        {"tls-authority-key.pem", tlsAuthority->privateKeyPEM(), true, "its key"},
        {"server-certificate.pem", server->certificatePEM(), false, "server certificate for localhost and the loopback addresses"},
        {"server-key.pem", server->privateKeyPEM(), true, "its key"},
    };
    if (!parser.isSet(force)) {
        for (const Output &file : outputs)
            if (QFileInfo::exists(directory.filePath(QLatin1String(file.name))))
                return fail(QStringLiteral("\"%1\" exists; use --force to replace it").arg(directory.filePath(QLatin1String(file.name))));
    }
    for (const Output &file : outputs) {
        QString problem;
        if (file.contents.isEmpty() || !writeFile(directory.filePath(QLatin1String(file.name)), file.contents, file.secret, &problem))
            return fail(problem.isEmpty() ? QStringLiteral("cannot encode %1").arg(QLatin1String(file.name)) : problem);
        out() << directory.filePath(QLatin1String(file.name)) << "  (" << file.what << ")\n";
    }
    return Success;
}

// ---- sign and verify --------------------------------------------------------------

// Signs a few bytes in memory with the identity and checks them as the
// updater would, so that a maker learns before publishing (and before the
// archive is touched) that users would refuse the download. A chain that
// stops short of the anchors is the usual mistake: say which certificate is
// missing and how to pass it.
NVResult<void> checkAcceptance(const NVCodeSigning::SigningIdentity &identity, const QString &anchorsPath, bool chainGiven)
{
    const NVCodeSigningAnchors anchors = NVCodeSigningAnchors::fromFile(anchorsPath);
    if (anchors.count() == 0)
        return NVError(NVCodeSigning::ErrorDomain, NVCodeSigning::BadIdentity,
                       {{NSLocalizedDescriptionKey, QStringLiteral("no trust anchors in %1: %2").arg(anchorsPath, anchors.problem())}});
    const QByteArray probe("signature probe");
    auto signature = NVCodeSigning::signBytes(NVMemoryByteSource(probe), probe.size(), identity);
    if (!signature)
        return signature.error();
    const NVResult<NVCodeRequirement> requirement = NVCodeRequirement::create(NVSUCodeSignatureRequirement);
    if (!requirement)
        return requirement.error();
    auto code = NVStaticCode::create(
        std::make_unique<NVMemoryByteSource>(probe + NVSignatureSlot::composeSlot(NVSignatureSlot::Kind::Appended, signature.value())));
    const NVCodeSigningResult result = code->checkValidity(requirement.value(), anchors);
    if (result.status == errSecSuccess)
        return {};
    QString reason = QStringLiteral("the updater would refuse it with %1 (%2)").arg(anchorsPath, result.reason);
    // The last certificate we can show is the top of the chain we have; its
    // issuer is what neither the chain nor the anchors hold.
    X509 *top = sk_X509_num(identity.chain.get()) > 0 ? sk_X509_value(identity.chain.get(), sk_X509_num(identity.chain.get()) - 1)
                                                       : identity.certificate.get();
    bool topIsAnchored = false;
    for (int i = 0; i < anchors.count() && !topIsAnchored; ++i)
        topIsAnchored = X509_check_issued(sk_X509_value(anchors.certificates(), i), top) == X509_V_OK;
    if (!topIsAnchored) {
        char issuer[512] = {};
        X509_NAME_oneline(X509_get_issuer_name(top), issuer, sizeof issuer);
        reason += QStringLiteral(". The chain ends with a certificate issued by \"%1\", which is not among the anchors: ").arg(QString::fromUtf8(issuer));
        reason += chainGiven ? QStringLiteral("add that intermediate certificate to the --chain file")
                             : QStringLiteral("pass the intermediate certificates with --chain (\"keys\" writes them as code-signing-chain.pem)");
    }
    return NVError(NVCodeSigning::ErrorDomain, NVCodeSigning::BadIdentity, {{NSLocalizedDescriptionKey, reason}});
}

int signCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Signs FILE in place: the signature goes into the slot the file's format provides (a final\n"
        "empty gzip member, the zip comment, or a block appended to anything else). Refuses a file\n"
        "that is already signed and one whose bytes would make the slot ambiguous."));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The archive or disk image to sign."));
    const QCommandLineOption certificate(QStringLiteral("certificate"), QStringLiteral("The signing certificate (PEM)."), QStringLiteral("PEM"));
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("Its private key (PEM)."), QStringLiteral("PEM"));
    const QCommandLineOption chain(QStringLiteral("chain"), QStringLiteral("The intermediates to embed (PEM); a root in it is left out."),
                                    QStringLiteral("PEM"));
    const QCommandLineOption anchors(QStringLiteral("anchors"),
                                     QStringLiteral("Check first that the updater will accept the signature with these anchors\n"
                                                    "(the bundle's CodeSigningAnchors.pem); FILE is not touched when it would not."),
                                     QStringLiteral("PEM"));
    parser.addOptions({certificate, key, chain, anchors});
    if (auto stop = parse(parser, QStringLiteral("sign"), arguments, 1))
        return *stop;
    if (auto stop = requireOptions(parser, QStringLiteral("sign"), {certificate, key}))
        return *stop;

    const QString file = parser.positionalArguments().constFirst();
    auto identity = NVCodeSigning::loadIdentity(parser.value(certificate), parser.value(key), parser.value(chain));
    if (!identity)
        return fail(identity.error().localizedDescription());
    if (parser.isSet(anchors)) {
        if (const NVResult<void> accepted = checkAcceptance(identity.value(), parser.value(anchors), parser.isSet(chain)); !accepted)
            return fail(QStringLiteral("%1 was not signed: %2").arg(file, accepted.error().localizedDescription()));
    }
    if (const NVResult<void> status = NVCodeSigning::signFile(file, identity.value()); !status)
        return fail(status.error().localizedDescription());

    auto source = NVFileByteSource::open(file);
    const auto location = source ? NVSignatureSlot::locate(*source.value()) : NVResult<NVSignatureSlot::Location>(source.error());
    if (!location)
        return fail(QStringLiteral("the signature was written but cannot be found again: %1").arg(location.error().localizedDescription()));
    out() << "signed " << file << " (" << NVSignatureSlot::kindName(location->kind) << ", " << location->signedLength << " signed bytes, "
          << location->signatureLength << "-byte signature)\n";
    return Success;
}

int verifyCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks FILE exactly as the updater does and prints the outcome (valid, invalid or missing)\n"
        "with the reason. Exits 0 only when the signature is valid and meets the requirement."));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("The signed file."));
    const QCommandLineOption anchors(QStringLiteral("anchors"), QStringLiteral("The trust anchors (PEM), as CodeSigningAnchors.pem."), QStringLiteral("PEM"));
    const QCommandLineOption requirement(QStringLiteral("requirement"),
                                         QStringLiteral("Another requirement text (default: the updater's requirement)."),
                                         QStringLiteral("TEXT"), NVSUCodeSignatureRequirement);
    parser.addOptions({anchors, requirement});
    if (auto stop = parse(parser, QStringLiteral("verify"), arguments, 1))
        return *stop;
    if (auto stop = requireOptions(parser, QStringLiteral("verify"), {anchors}))
        return *stop;

    const QString file = parser.positionalArguments().constFirst();
    NVCodeSigningResult result;
    auto code = NVStaticCode::create(file);
    const NVResult<NVCodeRequirement> parsed = NVCodeRequirement::create(parser.value(requirement));
    if (!code)
        result = NVCodeSigningResult::fromError(code.error());
    else if (!parsed)
        result = NVCodeSigningResult::fromError(parsed.error());
    else
        result = code.value()->checkValidity(parsed.value(), NVCodeSigningAnchors::fromFile(parser.value(anchors)));

    // A requirement that cannot be created counts as a missing signature,
    // as it does in the updater.
    const NVSUCodeSignatureOutcome outcome =
        result.status == errSecCSReqInvalid ? NVSUCodeSignatureOutcomeMissing : NVSUCodeSignatureOutcomeForStatus(result.status);
    static const char *const names[] = {"missing", "invalid", "valid"};
    out() << names[outcome] << ": " << result.reason << " (status " << result.status << ")\n";
    return outcome == NVSUCodeSignatureOutcomeValid ? Success : Failure;
}

// ---- the root side of an installation ---------------------------------------

// Root runs this tool only once it has made sure that nobody but root can
// change it; these two commands let root read what a user process handed it
// without trusting that process.
int copyCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Copies SOURCE to the new file DESTINATION, when SOURCE is a regular file (not a link, a device\n"
        "or a FIFO) that belongs to the user OWNER or to root. Used by the updater's root side."));
    parser.addPositionalArgument(QStringLiteral("source"), QStringLiteral("The file to copy."));
    parser.addPositionalArgument(QStringLiteral("destination"), QStringLiteral("The new file."));
    const QCommandLineOption owner(QStringLiteral("owner"), QStringLiteral("The user id SOURCE may belong to besides root."), QStringLiteral("UID"));
    parser.addOption(owner);
    if (auto stop = parse(parser, QStringLiteral("copy"), arguments, 2))
        return *stop;
    if (auto stop = requireOptions(parser, QStringLiteral("copy"), {owner}))
        return *stop;
    bool numeric = false;
    const uint uid = parser.value(owner).toUInt(&numeric);
    if (!numeric)
        return fail(QStringLiteral("--owner must be a user id, not \"%1\"").arg(parser.value(owner)));
    const QStringList files = parser.positionalArguments();
    const NVResult<void> copied = NVSUBundleReplacementDetail::copyRegularFile(files[0], files[1], uid_t(uid));
    return copied ? Success : fail(copied.error().localizedDescription());
}

int stagingPathCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prints the path beside TARGET where the bundle SOURCE is staged during an installation,\n"
        "with KEY (hexadecimal) as its key. Used by the updater's root side."));
    parser.addPositionalArgument(QStringLiteral("target"), QStringLiteral("The installed bundle."));
    parser.addPositionalArgument(QStringLiteral("source"), QStringLiteral("The bundle to stage (TARGET itself for the old version)."));
    parser.addPositionalArgument(QStringLiteral("key"), QStringLiteral("The staging key."));
    if (auto stop = parse(parser, QStringLiteral("staging-path"), arguments, 3))
        return *stop;
    const QStringList values = parser.positionalArguments();
    bool hexadecimal = false;
    const quint64 key = values[2].toULongLong(&hexadecimal, 16);
    if (!hexadecimal)
        return fail(QStringLiteral("the key must be hexadecimal, not \"%1\"").arg(values[2]));
    out() << NVSUTemporaryBundlePath(values[0], values[1], key) << "\n";
    return Success;
}

// ---- package ----------------------------------------------------------------------

struct ToolRun {
    QString program;
    QStringList arguments;
    QString workingDirectory;
};

QString runTool(const ToolRun &run)
{
    QProcess process;
    process.setProgram(run.program);
    process.setArguments(run.arguments);
    process.setWorkingDirectory(run.workingDirectory);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start();
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
        return QStringLiteral("%1 failed (%2)%3")
            .arg(run.program, process.error() == QProcess::FailedToStart ? QStringLiteral("cannot start")
                                                                           : NVProcessTermination::of(process).description(),
                 output.isEmpty() ? QString() : QStringLiteral(": ") + output);
    }
    return QString();
}

int packageCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Packs BUNDLE into an archive that holds the bundle at its top level. \"dmg\" makes a squashfs\n"
        "disk image, the form the updater mounts. Sign the result with \"sign\" afterwards."));
    parser.addPositionalArgument(QStringLiteral("bundle"), QStringLiteral("The application bundle (a folder)."));
    const QCommandLineOption format(QStringLiteral("format"), QStringLiteral("dmg, tar.gz, tgz, tar.bz2, tbz or zip."), QStringLiteral("FORMAT"));
    const QCommandLineOption output(QStringLiteral("output"), QStringLiteral("The archive to write (replaced if it exists)."), QStringLiteral("FILE"));
    parser.addOptions({format, output});
    if (auto stop = parse(parser, QStringLiteral("package"), arguments, 1))
        return *stop;
    if (auto stop = requireOptions(parser, QStringLiteral("package"), {format, output}))
        return *stop;

    const QFileInfo bundle(QDir::cleanPath(QDir(parser.positionalArguments().constFirst()).absolutePath()));
    if (!bundle.isDir())
        return fail(QStringLiteral("\"%1\" is not a folder").arg(bundle.filePath()));
    const QString name = bundle.fileName();
    const QString parent = bundle.absolutePath();
    const QFileInfo target(QDir::cleanPath(QDir().absoluteFilePath(parser.value(output))));
    if ((target.absoluteFilePath() + QLatin1Char('/')).startsWith(bundle.absoluteFilePath() + QLatin1Char('/')))
        return fail(QStringLiteral("the archive cannot be written inside the bundle"));

    // Written beside the target under a temporary name, then renamed, so a
    // failed run leaves no half archive under the final name. zip insists on
    // a ".zip" suffix and adds to an archive that exists.
    const QString kind = parser.value(format);
    const QString partial = target.absolutePath() + QStringLiteral("/.%1.partial-%2%3")
                                                        .arg(target.fileName())
                                                        .arg(QCoreApplication::applicationPid())
                                                        .arg(kind == QLatin1String("zip") ? QStringLiteral(".zip") : QString());
    QFile::remove(partial);

    const QStringList tarOwner = {QStringLiteral("--owner=0"), QStringLiteral("--group=0"), QStringLiteral("--numeric-owner")};
    ToolRun run;
    if (kind == QLatin1String("tar.gz") || kind == QLatin1String("tgz") || kind == QLatin1String("tar.bz2") || kind == QLatin1String("tbz")) {
        const bool gzip = kind == QLatin1String("tar.gz") || kind == QLatin1String("tgz");
        run = {QStringLiteral("/usr/bin/tar"),
               QStringList{QStringLiteral("-C"), parent} + tarOwner
                   + QStringList{gzip ? QStringLiteral("-czf") : QStringLiteral("-cjf"), partial, QStringLiteral("--"), name},
               parent};
    } else if (kind == QLatin1String("zip")) {
        // -y keeps symbolic links as links; -nw takes brackets and stars in
        // names literally.
        run = {QStringLiteral("/usr/bin/zip"),
               {QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-y"), QStringLiteral("-nw"), partial, QStringLiteral("--"), name},
               parent};
    } else if (kind == QLatin1String("dmg")) {
        run = {QStringLiteral("/usr/bin/mksquashfs"),
               {bundle.absoluteFilePath(), partial, QStringLiteral("-keep-as-directory"), QStringLiteral("-noappend"),
                QStringLiteral("-all-root"), QStringLiteral("-no-progress"), QStringLiteral("-quiet")},
               parent};
    } else {
        err() << "nvsu-release package: unknown format \"" << kind << "\"\n\n" << helpText(parser, QStringLiteral("package"));
        return UsageError;
    }

    const QString problem = runTool(run);
    if (!problem.isEmpty()) {
        QFile::remove(partial);
        return fail(problem);
    }
    QFile::remove(target.absoluteFilePath());
    if (!QFile::rename(partial, target.absoluteFilePath())) {
        QFile::remove(partial);
        return fail(QStringLiteral("cannot move the archive to \"%1\"").arg(target.absoluteFilePath()));
    }
    out() << "packaged " << bundle.filePath() << " as " << target.absoluteFilePath() << "\n";
    return Success;
}

// ---- feed -------------------------------------------------------------------------

// "URL" or, repeated, "LANG=URL" for a value localized by language.
NVResult<QVariant> localizableValue(const QStringList &values, const QString &option)
{
    QVariantMap localized;
    for (const QString &value : values) {
        const qsizetype equals = value.indexOf(QLatin1Char('='));
        const QString language = equals > 0 ? value.left(equals) : QString();
        const bool isLocalized = !language.isEmpty() && !language.contains(QLatin1Char(':')) && !language.contains(QLatin1Char('/'));
        const QString url = isLocalized ? value.mid(equals + 1) : value;
        const QUrl parsed(url, QUrl::StrictMode);
        if (!parsed.isValid() || parsed.isRelative())
            return NVError::withDescription(QStringLiteral("nvsu-release"), 1, QStringLiteral("--%1: \"%2\" is not an absolute URL (blanks must be written %20)").arg(option, url));
        if (!isLocalized) {
            if (values.size() > 1)
                return NVError::withDescription(QStringLiteral("nvsu-release"), 1,
                                                QStringLiteral("--%1: give one URL, or LANG=URL for each language").arg(option));
            return QVariant(url);
        }
        localized.insert(language, url);
    }
    return QVariant(localized);
}

int feedCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Adds one update to the feed FEED (an XML property list; created when missing). An existing\n"
        "XML or binary feed is read and written back as XML; a feed whose root is one dictionary\n"
        "becomes an array. An entry with the same --version is replaced in place."));
    parser.addPositionalArgument(QStringLiteral("feed"), QStringLiteral("The feed file."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("BundleVersion: the comparable version number."), QStringLiteral("VERSION"));
    const QCommandLineOption shortVersion(QStringLiteral("short-version"), QStringLiteral("BundleShortVersionString: the version users see."),
                                          QStringLiteral("TEXT"));
    const QCommandLineOption downloadURL(QStringLiteral("download-url"), QStringLiteral("DownloadURL: the signed archive."), QStringLiteral("URL"));
    const QCommandLineOption object(QStringLiteral("installation-object"),
                                    QStringLiteral("InstallationObject: the bundle in the archive (default Velkin.app)."), QStringLiteral("NAME"),
                                    QStringLiteral("Velkin.app"));
    const QCommandLineOption mechanism(QStringLiteral("installation-mechanism"),
                                       QStringLiteral("InstallationMechanism: ReplaceBundle (default) or Installer."), QStringLiteral("MECHANISM"),
                                       QStringLiteral("ReplaceBundle"));
    const QCommandLineOption pageURL(QStringLiteral("download-page-url"),
                                     QStringLiteral("DownloadPageURL: the page for manual installation, or LANG=URL repeated (default: the "
                                                    "download URL)."),
                                     QStringLiteral("URL"));
    const QCommandLineOption notesURL(QStringLiteral("release-notes-url"), QStringLiteral("ReleaseNotesURL: the release notes, or LANG=URL repeated."),
                                      QStringLiteral("URL"));
    const QCommandLineOption lifecycle(QStringLiteral("release-lifecycle"),
                                       QStringLiteral("ReleaseLifecycle: nightly, beta or \"release candidate\" (default: a final release)."),
                                       QStringLiteral("STAGE"));
    const QCommandLineOption minimumSystem(QStringLiteral("minimum-system-version"), QStringLiteral("MinimumSystemVersion (a glibc version)."),
                                           QStringLiteral("VERSION"));
    const QCommandLineOption maximumSystem(QStringLiteral("maximum-system-version"), QStringLiteral("MaximumSystemVersion (a glibc version)."),
                                           QStringLiteral("VERSION"));
    const QCommandLineOption minimumBase(QStringLiteral("minimum-base-version"),
                                         QStringLiteral("MinimumBaseVersion: the oldest installed version that may update automatically."),
                                         QStringLiteral("VERSION"));
    const QCommandLineOption suppress(QStringLiteral("suppress-auto-update"), QStringLiteral("SuppressAutoUpdate: only offer the download page."));
    parser.addOptions({version, shortVersion, downloadURL, object, mechanism, pageURL, notesURL, lifecycle, minimumSystem, maximumSystem, minimumBase,
                       suppress});
    const QString command = QStringLiteral("feed");
    if (auto stop = parse(parser, command, arguments, 1))
        return *stop;
    if (auto stop = requireOptions(parser, command, {version, shortVersion, downloadURL}))
        return *stop;

    QVariantMap entry;
    entry.insert(QStringLiteral("BundleVersion"), parser.value(version));
    entry.insert(QStringLiteral("BundleShortVersionString"), parser.value(shortVersion));
    entry.insert(QStringLiteral("InstallationObject"), parser.value(object));
    const QString mechanismText = parser.value(mechanism);
    if (mechanismText != QLatin1String("ReplaceBundle") && mechanismText != QLatin1String("Installer"))
        return fail(QStringLiteral("--installation-mechanism must be ReplaceBundle or Installer, not \"%1\"").arg(mechanismText));
    entry.insert(QStringLiteral("InstallationMechanism"), mechanismText);
    const QUrl download(parser.value(downloadURL), QUrl::StrictMode);
    if (!download.isValid() || download.isRelative())
        return fail(QStringLiteral("--download-url: \"%1\" is not an absolute URL (blanks must be written %20)").arg(parser.value(downloadURL)));
    entry.insert(QStringLiteral("DownloadURL"), parser.value(downloadURL));
    // The page is mandatory in a feed entry; the archive's own address is
    // the fallback, so a browser at least fetches the update.
    const QStringList pages = parser.isSet(pageURL) ? parser.values(pageURL) : QStringList{parser.value(downloadURL)};
    const NVResult<QVariant> page = localizableValue(pages, QStringLiteral("download-page-url"));
    if (!page)
        return fail(page.error().localizedDescription());
    entry.insert(QStringLiteral("DownloadPageURL"), page.value());
    if (parser.isSet(notesURL)) {
        const NVResult<QVariant> notes = localizableValue(parser.values(notesURL), QStringLiteral("release-notes-url"));
        if (!notes)
            return fail(notes.error().localizedDescription());
        entry.insert(QStringLiteral("ReleaseNotesURL"), notes.value());
    }
    if (parser.isSet(lifecycle)) {
        const QString stage = parser.value(lifecycle);
        if (stage != QLatin1String("nightly") && stage != QLatin1String("beta") && stage != QLatin1String("release candidate")
            && stage != QLatin1String("release"))
            return fail(QStringLiteral("--release-lifecycle must be nightly, beta, \"release candidate\" or release, not \"%1\"").arg(stage));
        if (stage != QLatin1String("release"))
            entry.insert(QStringLiteral("ReleaseLifecycle"), stage);
    }
    for (const auto &[option, key] : {std::pair{&minimumSystem, "MinimumSystemVersion"}, std::pair{&maximumSystem, "MaximumSystemVersion"},
                                      std::pair{&minimumBase, "MinimumBaseVersion"}}) {
        if (parser.isSet(*option))
            entry.insert(QLatin1String(key), parser.value(*option));
    }
    if (parser.isSet(suppress))
        entry.insert(QStringLiteral("SuppressAutoUpdate"), true);

    const QString path = parser.positionalArguments().constFirst();
    QVariantList updates;
    if (QFileInfo::exists(path)) {
        const NVResult<QVariant> existing = NVPropertyList::readFile(path);
        if (!existing)
            return fail(QStringLiteral("cannot read the feed \"%1\": %2").arg(path, existing.error().localizedDescription()));
        if (existing->typeId() == QMetaType::QVariantList)
            updates = existing->toList();
        else if (existing->typeId() == QMetaType::QVariantMap)
            updates = {existing.value()};
        else
            return fail(QStringLiteral("the feed \"%1\" holds neither an array nor a dictionary").arg(path));
    }
    bool replaced = false;
    for (QVariant &update : updates) {
        if (update.typeId() == QMetaType::QVariantMap && update.toMap().value(QStringLiteral("BundleVersion")) == entry.value(QStringLiteral("BundleVersion"))) {
            update = entry;
            replaced = true;
            break;
        }
    }
    if (!replaced)
        updates.append(entry);
    if (const NVResult<void> status = NVPropertyList::writeFile(path, updates, NVPropertyList::Format::XML); !status)
        return fail(QStringLiteral("cannot write the feed \"%1\": %2").arg(path, status.error().localizedDescription()));
    out() << (replaced ? "replaced " : "added ") << parser.value(shortVersion) << " (" << parser.value(version) << ") in " << path << ", "
          << updates.size() << (updates.size() == 1 ? " update\n" : " updates\n");
    return Success;
}

// ---- nest -------------------------------------------------------------------------

// Puts a copy of the updater bundle into a product bundle, where the updater
// expects to live (the product's Contents/Helpers/), and writes into the
// copy's Info.plist what the updater compares and shows: the product's
// versions and name, and the maker's feed, website and trust anchors.
int nestCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Copies UPDATER (the updater bundle) into PRODUCT/Contents/Helpers/, replacing an earlier copy,\n"
        "and writes the product's CFBundleVersion, CFBundleShortVersionString and name into the copy's\n"
        "Info.plist, so that the updater compares against the product's version. Run it for every\n"
        "build of the product, before packaging."));
    parser.addPositionalArgument(QStringLiteral("updater"), QStringLiteral("The updater bundle (Velkin Software Update.app)."));
    parser.addPositionalArgument(QStringLiteral("product"), QStringLiteral("The product bundle."));
    const QCommandLineOption feedURL(QStringLiteral("feed-url"), QStringLiteral("SoftwareUpdateFeedURL: the feed's HTTPS address."), QStringLiteral("URL"));
    const QCommandLineOption websiteURL(QStringLiteral("website-url"), QStringLiteral("SoftwareUpdateWebsiteURL."), QStringLiteral("URL"));
    const QCommandLineOption anchors(QStringLiteral("anchors"), QStringLiteral("The code-signing trust anchors (CodeSigningAnchors.pem)."),
                                     QStringLiteral("PEM"));
    const QCommandLineOption serverAnchors(QStringLiteral("server-anchors"),
                                           QStringLiteral("Extra TLS trust anchors for the feed's server (ServerTrustAnchors.pem)."),
                                           QStringLiteral("PEM"));
    parser.addOptions({feedURL, websiteURL, anchors, serverAnchors});
    if (auto stop = parse(parser, QStringLiteral("nest"), arguments, 2))
        return *stop;

    const QString updater = QDir::cleanPath(QFileInfo(parser.positionalArguments().at(0)).absoluteFilePath());
    const QString product = QDir::cleanPath(QFileInfo(parser.positionalArguments().at(1)).absoluteFilePath());
    const NVResult<QVariant> productInfo = NVPropertyList::readFile(product + QStringLiteral("/Contents/Info.plist"));
    if (!productInfo || productInfo->typeId() != QMetaType::QVariantMap)
        return fail(QStringLiteral("\"%1\" is not a bundle with an Info.plist: %2")
                        .arg(product, productInfo ? QStringLiteral("not a dictionary") : productInfo.error().localizedDescription()));
    const QVariantMap productKeys = productInfo->toMap();
    if (productKeys.value(QStringLiteral("CFBundleVersion")).toString().isEmpty())
        return fail(QStringLiteral("the product's Info.plist has no CFBundleVersion"));
    if (!QFileInfo(updater + QStringLiteral("/Contents/Info.plist")).isFile())
        return fail(QStringLiteral("\"%1\" is not the updater bundle").arg(updater));
    if (product.startsWith(updater + QLatin1Char('/')) || updater.startsWith(product + QLatin1Char('/')))
        return fail(QStringLiteral("the updater and the product must not contain each other"));

    const QString helpers = product + QStringLiteral("/Contents/Helpers");
    const QString nested = helpers + QLatin1Char('/') + QFileInfo(updater).fileName();
    if (!QDir().mkpath(helpers))
        return fail(QStringLiteral("cannot create \"%1\"").arg(helpers));
    if (QFileInfo::exists(nested) && !QDir(nested).removeRecursively())
        return fail(QStringLiteral("cannot remove the earlier copy \"%1\"").arg(nested));
    if (const QString problem = runTool({QStringLiteral("/usr/bin/cp"), {QStringLiteral("-R"), QStringLiteral("--"), updater, nested}, {}});
        !problem.isEmpty())
        return fail(problem);

    const QString infoPath = nested + QStringLiteral("/Contents/Info.plist");
    const NVResult<QVariant> updaterInfo = NVPropertyList::readFile(infoPath);
    if (!updaterInfo || updaterInfo->typeId() != QMetaType::QVariantMap)
        return fail(QStringLiteral("the updater's Info.plist cannot be read"));
    QVariantMap info = updaterInfo->toMap();
    for (const char *key : {"CFBundleVersion", "CFBundleShortVersionString"})
        info.insert(QLatin1String(key), productKeys.value(QLatin1String(key), productKeys.value(QStringLiteral("CFBundleVersion"))));
    const QString name = productKeys.value(QStringLiteral("CFBundleName")).toString();
    info.insert(QStringLiteral("SoftwareUpdateBundleName"), name.isEmpty() ? QFileInfo(product).completeBaseName() : name);
    if (parser.isSet(feedURL))
        info.insert(QStringLiteral("SoftwareUpdateFeedURL"), parser.value(feedURL));
    if (parser.isSet(websiteURL))
        info.insert(QStringLiteral("SoftwareUpdateWebsiteURL"), parser.value(websiteURL));
    if (const NVResult<void> status = NVPropertyList::writeFile(infoPath, info, NVPropertyList::Format::XML); !status)
        return fail(status.error().localizedDescription());
    for (const auto &[option, file] : {std::pair{&anchors, "CodeSigningAnchors.pem"}, std::pair{&serverAnchors, "ServerTrustAnchors.pem"}}) {
        if (!parser.isSet(*option))
            continue;
        const QString destination = nested + QStringLiteral("/Contents/Resources/") + QLatin1String(file);
        QDir().mkpath(QFileInfo(destination).path());
        QFile::remove(destination);
        if (!QFile::copy(parser.value(*option), destination))
            return fail(QStringLiteral("cannot copy \"%1\" to \"%2\"").arg(parser.value(*option), destination));
    }
    out() << "nested " << nested << " for " << info.value(QStringLiteral("SoftwareUpdateBundleName")).toString() << " "
          << info.value(QStringLiteral("CFBundleShortVersionString")).toString() << " ("
          << info.value(QStringLiteral("CFBundleVersion")).toString() << ")\n";
    return Success;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nvsu-release"));
    return NVRunToolCommand({QStringLiteral("nvsu-release"), UsageError}, QCoreApplication::arguments().mid(1),
                            {
                                {"keys", "keys --output DIR [--team ID]: test code-signing and TLS certificates", keysCommand},
                                {"sign", "sign FILE --certificate PEM --key PEM [--chain PEM] [--anchors PEM]: sign an archive in place", signCommand},
                                {"verify", "verify FILE --anchors PEM: check a signature as the updater does", verifyCommand},
                                {"nest", "nest UPDATER PRODUCT [--feed-url URL] [--anchors PEM]: put the updater into a product", nestCommand},
                                {"package", "package BUNDLE --format dmg|tar.gz|tgz|tar.bz2|tbz|zip --output FILE: make an update archive", packageCommand},
                                {"copy", "copy SOURCE DESTINATION --owner UID: copy a regular file for the updater's root side", copyCommand},
                                {"staging-path", "staging-path TARGET SOURCE KEY: where the updater stages SOURCE beside TARGET", stagingPathCommand},
                                {"feed", "feed FEED --version V --short-version S --download-url URL [...]: add an update to a feed", feedCommand},
                            });
}
