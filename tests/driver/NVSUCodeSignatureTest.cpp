#include "driver/NVSUCodeSignature.h"

#include "support/LogCapture.h"
#include "support/SigningFixture.h"
#include "support/TestSupport.h"

#include <QUrl>

#include <gtest/gtest.h>

namespace {

using Signer = SigningFixture::Signer;

const QString noFile = "Software Update: Signature check: No file to check was downloaded.";
const QString missing = "Software Update: Signature check: Downloaded file has no code signature or bad format, rejecting.";
const QString invalid = "Software Update: Signature check: Downloaded file has invalid code signature, rejecting.";
const QString accepted = "Software Update: Signature check: Accepted because it meets code signature requirement.";

// The outcome of real files: what is missing, what is invalid, what passes.
TEST(NVSUCodeSignature, EachDownloadGetsExactlyOneLineAndARequirementDecides)
{
    const SigningFixture fixture;
    const QByteArray archive = makeGzip(QByteArray("the update\n").repeated(5000));
    const QString good = fixture.signedFile("good.tar.gz", archive);
    // Which bytes a signature covers is checked with the signing itself; here
    // only that a changed byte gets the line of an invalid signature.
    const QByteArray changedBytes = flipped(TestSupport::readFile(good), archive.size() / 2);
    const QUrl changed = QUrl::fromLocalFile(fixture.writeFile("changed.tar.gz", changedBytes));
    const QString zip = fixture.signedFile("good.zip", makeZip("zip update"));

    const struct { const char *name; std::optional<QUrl> url; bool valid; QString line; } cases[] = {
        {"no downloaded file", std::nullopt, false, noFile},
        {"not a file URL", QUrl("https://updates.example/velkin.tar.gz"), false, noFile},
        {"unsigned", QUrl::fromLocalFile(fixture.writeFile("plain.tar.gz", archive)), false, missing},
        {"valid gzip", QUrl::fromLocalFile(good), true, accepted}, {"valid zip", QUrl::fromLocalFile(zip), true, accepted},
        {"a signed byte changed", changed, false, invalid},
        {"another team", QUrl::fromLocalFile(fixture.signedFile("other.tar.gz", archive, Signer::OtherTeam)), false, invalid},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture;
        EXPECT_EQ(NVSUSignatureIsValid(c.url, fixture.anchorsPath()), c.valid);
        EXPECT_EQ(capture.messages(), QStringList{c.line});
    }
    // A requirement that does not parse counts as missing; one that names
    // another team finds the signature invalid.
    const QUrl url = QUrl::fromLocalFile(good);
    EXPECT_EQ(NVSUCheckCodeSignature(url, fixture.anchorsPath(), "anchor apple"), NVSUCodeSignatureOutcomeMissing);
    EXPECT_EQ(NVSUCheckCodeSignature(url, fixture.anchorsPath(), "anchor apple generic and certificate leaf[subject.OU] = \"Z9OTHERT3M\""),
              NVSUCodeSignatureOutcomeInvalid);
}

} // namespace
