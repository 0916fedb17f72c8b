#include "driver/NVSUCodeSignature.h"

#include "platform/NVCodeSigningStatus.h"
#include "support/LogCapture.h"
#include "support/SigningFixture.h"

#include <QUrl>

#include <gtest/gtest.h>

#include <climits>

namespace {

using Signer = SigningFixture::Signer;

const QString noFile = QStringLiteral("Software Update: Signature check: No file to check was downloaded.");
const QString missing = QStringLiteral("Software Update: Signature check: Downloaded file has no code signature or bad format, rejecting.");
const QString invalid = QStringLiteral("Software Update: Signature check: Downloaded file has invalid code signature, rejecting.");
const QString accepted = QStringLiteral("Software Update: Signature check: Accepted because it meets code signature requirement.");

TEST(NVSUCodeSignature, FiveStatusesMeanMissingZeroValidTheRestInvalid)
{
    const QList<qint32> missingCodes = {-67062, -67049, -67028, -67010, -67001};
    for (const qint32 status : missingCodes)
        EXPECT_EQ(NVSUCodeSignatureOutcomeForStatus(status), NVSUCodeSignatureOutcomeMissing) << status;
    EXPECT_EQ(NVSUCodeSignatureOutcomeForStatus(0), NVSUCodeSignatureOutcomeValid);
    for (const qint32 status : {-67061, -67050, -67052, -67063, -67000, -67002, -67048, -67050, -1, 1, INT_MIN, INT_MAX})
        EXPECT_EQ(NVSUCodeSignatureOutcomeForStatus(status), NVSUCodeSignatureOutcomeInvalid) << status;
    // Around the mask's range every code lands where the list says.
    for (qint32 status = -67200; status <= -66900; ++status) {
        const auto expected = missingCodes.contains(status) ? NVSUCodeSignatureOutcomeMissing : NVSUCodeSignatureOutcomeInvalid;
        EXPECT_EQ(NVSUCodeSignatureOutcomeForStatus(status), expected) << status;
    }
    EXPECT_EQ(NVSUCodeSignatureOutcomeForStatus(errSecCSUnsigned), NVSUCodeSignatureOutcomeMissing);
    EXPECT_EQ(NVSUCodeSignatureOutcomeForStatus(errSecCSBadObjectFormat), NVSUCodeSignatureOutcomeMissing);
    EXPECT_EQ(NVSUCodeSignatureOutcomeForStatus(errSecCSSignatureFailed), NVSUCodeSignatureOutcomeInvalid);
    EXPECT_EQ(NVSUCodeSignatureOutcomeForStatus(errSecCSReqFailed), NVSUCodeSignatureOutcomeInvalid);
}

TEST(NVSUCodeSignature, EachDownloadGetsExactlyOneLine)
{
    const SigningFixture fixture;
    const QByteArray archive = makeGzip(QByteArray("the update\n").repeated(5000));
    const QString good = fixture.signedFile(QStringLiteral("good.tar.gz"), archive);
    const QByteArray goodBytes = readAll(good);
    const qint64 signedLength = archive.size();
    auto flippedAt = [&](qint64 at) {
        QByteArray bytes = goodBytes;
        bytes[at] = char(bytes[at] ^ 0x80);
        return QUrl::fromLocalFile(fixture.writeFile(QStringLiteral("changed-%1.tar.gz").arg(at), bytes));
    };
    const QString zip = fixture.signedFile(QStringLiteral("good.zip"), makeZip("zip update"));

    const struct {
        const char *name;
        std::optional<QUrl> url;
        bool valid;
        QString line;
    } cases[] = {
        {"no downloaded file", std::nullopt, false, noFile},
        {"not a file URL", QUrl(QStringLiteral("https://updates.example/velkin.tar.gz")), false, noFile},
        {"file that is not there", QUrl::fromLocalFile(fixture.path(QStringLiteral("gone.tar.gz"))), false, missing},
        {"unsigned", QUrl::fromLocalFile(fixture.writeFile(QStringLiteral("plain.tar.gz"), archive)), false, missing},
        {"valid gzip", QUrl::fromLocalFile(good), true, accepted},
        {"valid zip", QUrl::fromLocalFile(zip), true, accepted},
        {"first signed byte changed", flippedAt(0), false, invalid},
        {"middle signed byte changed", flippedAt(signedLength / 2), false, invalid},
        {"last signed byte changed", flippedAt(signedLength - 1), false, invalid},
        {"another team", QUrl::fromLocalFile(fixture.signedFile(QStringLiteral("other.tar.gz"), archive, Signer::OtherTeam)), false, invalid},
        {"no distribution extension",
         QUrl::fromLocalFile(fixture.signedFile(QStringLiteral("noext.tar.gz"), archive, Signer::NoDistributionExtension)), false, invalid},
        {"another root", QUrl::fromLocalFile(fixture.signedFile(QStringLiteral("root.tar.gz"), archive, Signer::OtherRoot)), false, invalid},
        {"zip hiding a second end record",
         QUrl::fromLocalFile(fixture.writeFile(QStringLiteral("hidden.zip"), hideZipInSignature(fixture, readAll(zip)))), false, invalid},
        {"expired signer", QUrl::fromLocalFile(fixture.signedFile(QStringLiteral("old.tar.gz"), archive, Signer::Expired)), false, invalid},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture;
        EXPECT_EQ(NVSUSignatureIsValid(c.url, fixture.anchorsPath()), c.valid);
        EXPECT_EQ(capture.messages(), QStringList{c.line});
    }
}

TEST(NVSUCodeSignature, ARequirementThatDoesNotParseCountsAsMissing)
{
    const SigningFixture fixture;
    const QUrl url = QUrl::fromLocalFile(fixture.signedFile(QStringLiteral("good.tbz"), makeBzip2("x")));
    EXPECT_EQ(NVSUCheckCodeSignature(url, fixture.anchorsPath()), NVSUCodeSignatureOutcomeValid);
    EXPECT_EQ(NVSUCheckCodeSignature(url, fixture.anchorsPath(), QStringLiteral("anchor apple")), NVSUCodeSignatureOutcomeMissing);
    EXPECT_EQ(NVSUCheckCodeSignature(url, fixture.anchorsPath(), QStringLiteral("anchor apple generic and certificate leaf[subject.OU] = \"Z9OTHERT3M\"")),
              NVSUCodeSignatureOutcomeInvalid);
    // The updater's own anchors matter: with none, the anchor clause fails.
    EXPECT_EQ(NVSUCheckCodeSignature(url, fixture.path(QStringLiteral("no-anchors.pem"))), NVSUCodeSignatureOutcomeInvalid);
}

} // namespace
