#include "support/SigningFixture.h"

#include "driver/NVSUCodeSignature.h"
#include "platform/NVCertificateMaker.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

using Signer = SigningFixture::Signer;
using Role = NVCertificateRequest::Role;

// In the order of the enumeration.
const char *const signerNames[] = {"team", "team-noncritical-marker", "other-team", "no-distribution-extension",
                                   "unknown-critical-extension", "expired", "other-root", "self-signed"};

NVIdentity makeOrFail(const NVCertificateRequest &request, const NVIdentity *issuer)
{
    auto identity = NVCertificateMaker::make(request, issuer);
    if (!identity) {
        ADD_FAILURE() << identity.error().localizedDescription().toStdString();
        return {};
    }
    return std::move(identity).value();
}

NVCertificateRequest authority(const QString &name)
{
    NVCertificateRequest request;
    request.role = Role::Authority;
    request.commonName = name;
    request.organization = "Signing Fixture";
    return request;
}

void write(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
}

QByteArray runFilter(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        ADD_FAILURE() << program.toStdString() << " failed";
    return process.readAllStandardOutput();
}

} // namespace

SigningFixture::SigningFixture()
{
    const NVIdentity root = makeOrFail(authority("Fixture Root"), nullptr);
    NVCertificateRequest intermediateRequest = authority("Fixture Distribution CA");
    intermediateRequest.pathLength = 0;
    const NVIdentity intermediate = makeOrFail(intermediateRequest, &root);
    const NVIdentity otherRoot = makeOrFail(authority("Another Root"), nullptr);
    intermediateRequest.commonName = "Another Distribution CA";
    const NVIdentity otherIntermediate = makeOrFail(intermediateRequest, &otherRoot);
    write(anchorsPath(), root.certificatePEM());
    write(path("intermediate.pem"), intermediate.certificatePEM());
    write(path("other-intermediate.pem"), otherIntermediate.certificatePEM());

    for (int i = 0; i < int(std::size(signerNames)); ++i) {
        const Signer signer = Signer(i);
        NVCertificateRequest request;
        request.role = Role::CodeSigning;
        request.commonName = "Fixture signer " + signerName(signer);
        request.organization = "Norvane";
        request.organizationalUnit = signer == Signer::OtherTeam ? "Z9OTHERT3M" : NVSUCodeSignatureTeamIdentifier;
        request.distributionExtension = signer != Signer::NoDistributionExtension;
        request.distributionExtensionCritical = signer != Signer::TeamNonCriticalMarker;
        if (signer == Signer::UnknownCriticalExtension)
            request.unknownCriticalExtensions = {"1.3.6.1.4.1.99999.42.1"};
        if (signer == Signer::Expired) {
            request.notBefore = QDateTime::currentDateTimeUtc().addYears(-2);
            request.notAfter = QDateTime::currentDateTimeUtc().addDays(-1);
        }
        const NVIdentity *issuer = signer == Signer::OtherRoot ? &otherIntermediate : signer == Signer::SelfSigned ? nullptr : &intermediate;
        const NVIdentity leaf = makeOrFail(request, issuer);
        write(certificatePath(signer), leaf.certificatePEM());
        write(keyPath(signer), leaf.privateKeyPEM());
    }
}

QString SigningFixture::signerName(Signer signer) { return QString::fromLatin1(signerNames[int(signer)]); }

QString SigningFixture::certificatePath(Signer signer) const { return path(signerName(signer) + "-certificate.pem"); }
QString SigningFixture::keyPath(Signer signer) const { return path(signerName(signer) + "-key.pem"); }

QString SigningFixture::chainPath(Signer signer) const
{
    if (signer == Signer::SelfSigned)
        return QString();
    return path(signer == Signer::OtherRoot ? "other-intermediate.pem" : "intermediate.pem");
}

NVCodeSigning::SigningIdentity SigningFixture::identity(Signer signer) const
{
    auto identity = NVCodeSigning::loadIdentity(certificatePath(signer), keyPath(signer), chainPath(signer));
    if (!identity) {
        ADD_FAILURE() << identity.error().localizedDescription().toStdString();
        return {};
    }
    return std::move(identity).value();
}

QString SigningFixture::writeFile(const QString &name, const QByteArray &contents) const
{
    write(path(name), contents);
    return path(name);
}

QString SigningFixture::signedFile(const QString &name, const QByteArray &contents, Signer signer) const
{
    const QString file = writeFile(name, contents);
    if (const NVResult<void> status = NVCodeSigning::signFile(file, identity(signer)); !status)
        ADD_FAILURE() << status.error().localizedDescription().toStdString();
    return file;
}

QByteArray withSignature(const QByteArray &content, const QByteArray &cms)
{
    const auto plan = NVSignatureSlot::plan(NVMemoryByteSource(content));
    if (!plan) {
        ADD_FAILURE() << plan.error().localizedDescription().toStdString();
        return content;
    }
    return content.left(plan->writeOffset) + NVSignatureSlot::composeSlot(plan->kind, cms);
}

QByteArray flipped(QByteArray bytes, qint64 at)
{
    bytes[at] = char(bytes[at] ^ 0x01);
    return bytes;
}

QByteArray makeGzip(const QByteArray &contents)
{
    return runFilter("/usr/bin/gzip", {"-c", "-n"}, contents);
}

QByteArray makeBzip2(const QByteArray &contents)
{
    return runFilter("/usr/bin/bzip2", {"-c"}, contents);
}

QByteArray makeZip(const QByteArray &contents)
{
    QTemporaryDir directory;
    write(directory.filePath("member.bin"), contents);
    // -j keeps only the member's own name, as a run inside the folder would.
    if (TestSupport::run("/usr/bin/zip", {"-q", "-X", "-j", directory.filePath("out.zip"), directory.filePath("member.bin")}).exitCode != 0)
        ADD_FAILURE() << "zip failed";
    return TestSupport::readFile(directory.filePath("out.zip"));
}
