#include "support/SigningFixture.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const QString tool = QStringLiteral(NV_TEST_BUNDLE_DIR "/Contents/MacOS/nvsu-release");

using ToolRun = TestSupport::ProcessResult;

ToolRun release(const QStringList &arguments) { return TestSupport::run(tool, arguments); }

// Packaging is checked where archives are unpacked (the unarchivers' round
// trips and the disk-image tool's test); signed archives of every format are
// unpacked by root's staging test and installed by the whole runs.
TEST(NVSUReleaseTool, VerifyNamesOutcomeAndReason)
{
    const SigningFixture fixture;
    using Signer = SigningFixture::Signer;
    // Signs and returns the file; a refusal is expected when named. A refused
    // file must stay unsigned, which its verification then shows.
    auto signWith = [&](const QString &name, Signer signer, const QStringList &chain = {}, const char *refusal = nullptr) {
        const QString file = fixture.writeFile(name, makeBzip2("release"));
        const ToolRun signedRun = release(QStringList{"sign", file, "--certificate", fixture.certificatePath(signer), "--key",
                                                      fixture.keyPath(signer)}
                                          + (chain.isEmpty() ? QStringList{"--chain", fixture.chainPath(signer)} : chain));
        EXPECT_EQ(signedRun.exitCode, refusal ? 1 : 0) << signedRun.err.toStdString();
        EXPECT_TRUE(signedRun.err.contains(refusal ? refusal : "")) << signedRun.err.toStdString();
        return file;
    };
    // A chain file that goes on to the root: the root stays out of the
    // signature, which the verifier would refuse otherwise.
    const QString fullChain = fixture.writeFile("full-chain.pem", TestSupport::readFile(fixture.chainPath(Signer::Team))
                                                                      + TestSupport::readFile(fixture.anchorsPath()));
    const struct { QString file; QStringList extra; int exitCode; const char *out; } cases[] = {
        {signWith("team.tbz", Signer::Team), {}, 0, "valid: signed by "},
        {signWith("full-chain.tbz", Signer::Team, {"--chain", fullChain}), {}, 0, "valid: signed by "},
        // Without the intermediate the updater would refuse the file: the
        // maker hears why.
        {signWith("no-chain.tbz", Signer::Team, {"--anchors", fixture.anchorsPath()},
                  "is not among the anchors: pass the intermediate certificates with --chain"),
         {}, 1, "missing: the file has no signature block"},
        {signWith("stray.tbz", Signer::Team, {"--chain", fixture.path("other-intermediate.pem")},
                  "the certificate \"CN=Another Distribution CA,O=Signing Fixture\" is not on the chain of"),
         {}, 1, "missing: the file has no signature block"},
        {signWith("other.tbz", Signer::OtherTeam), {}, 1, "invalid: the signature does not satisfy"},
        {fixture.path("team.tbz"), {"--requirement", "anchor"}, 1, "missing: invalid requirement"},
    };
    for (const auto &c : cases) {
        const ToolRun verified = release(QStringList{"verify", c.file, "--anchors", fixture.anchorsPath()} + c.extra);
        EXPECT_EQ(verified.exitCode, c.exitCode) << c.out;
        EXPECT_TRUE(verified.out.startsWith(c.out)) << verified.out.toStdString();
    }
}

TEST(NVSUReleaseTool, UsageErrorsWriteNothing)
{
    EXPECT_EQ(release({"publish"}).exitCode, 2);
    QTemporaryDir work;
    QDir().mkpath(work.filePath("A.app"));
    EXPECT_EQ(release({"package", work.filePath("A.app"), "--format", "rar", "--output", work.filePath("a.rar")}).exitCode, 2);
    EXPECT_FALSE(QFileInfo::exists(work.filePath("a.rar")));
    const ToolRun notFolder = release({"package", work.filePath("B.app"), "--format", "zip", "--output", work.filePath("b.zip")});
    EXPECT_EQ(notFolder.exitCode, 1);
    EXPECT_TRUE(notFolder.err.contains("is not a folder"));
}

TEST(NVSUReleaseTool, KeysAreNotOverwrittenByAccident)
{
    QTemporaryDir work;
    const QStringList arguments = {"keys", "--output", work.path()};
    ASSERT_EQ(release(arguments).exitCode, 0);
    for (const char *key : {"code-signing-key.pem", "code-signing-root-key.pem", "server-key.pem", "tls-authority-key.pem"}) {
        struct stat status;
        ASSERT_EQ(stat(QFile::encodeName(work.filePath(key)).constData(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u) << key;
    }
    const QString anchorsPath = work.filePath("CodeSigningAnchors.pem");
    const QByteArray anchors = TestSupport::readFile(anchorsPath);
    const ToolRun again = release(arguments);
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(again.err.contains("--force"));
    EXPECT_EQ(TestSupport::readFile(anchorsPath), anchors);
    EXPECT_EQ(release(arguments + QStringList{"--force"}).exitCode, 0);
    EXPECT_NE(TestSupport::readFile(anchorsPath), anchors);

    // The server certificate names the loopback addresses and chains to the TLS authority.
    const ToolRun chain = TestSupport::run("/usr/bin/openssl", {"verify", "-CAfile", work.filePath("ServerTrustAnchors.pem"), "-verify_ip", "127.0.0.2",
                                                   work.filePath("server-certificate.pem")});
    EXPECT_EQ(chain.exitCode, 0) << chain.out.toStdString() << chain.err.toStdString();
}

TEST(NVSUReleaseTool, NestingGivesTheUpdaterTheProductsVersionAndTheMakersAddresses)
{
    QTemporaryDir work;
    const QString product = work.filePath("Velkin.app");
    QDir().mkpath(product + "/Contents");
    TestSupport::writeFile(product + "/Contents/Info.plist",
                           "<plist version=\"1.0\"><dict><key>CFBundleVersion</key><string>5000</string>"
                           "<key>CFBundleShortVersionString</key><string>5.0</string><key>CFBundleName</key><string>Velkin</string>"
                           "</dict></plist>");
    TestSupport::writeFile(work.filePath("anchors.pem"), "anchors");
    const QString nested = product + "/Contents/Helpers/" + QFileInfo(NV_TEST_BUNDLE_DIR).fileName();
    // Twice: a second run replaces the first copy, with nothing of it left.
    for (int i = 0; i < 2; ++i) {
        const ToolRun nest = release({"nest", NV_TEST_BUNDLE_DIR, product, "--feed-url", "https://127.0.0.1:1/update-feeds/velkin5.plist",
                                      "--anchors", work.filePath("anchors.pem")});
        ASSERT_EQ(nest.exitCode, 0) << nest.err.toStdString();
        if (i == 0)
            TestSupport::writeFile(nested + "/stale", "left by the first copy");
    }
    EXPECT_FALSE(QFileInfo::exists(nested + "/stale"));
    // The whole runs use nested updaters; here the product's version and the
    // maker's feed reach its Info.plist.
    const QByteArray info = TestSupport::readFile(nested + "/Contents/Info.plist");
    EXPECT_TRUE(info.contains("<key>CFBundleVersion</key>\n\t<string>5000</string>")) << info.toStdString();
    EXPECT_TRUE(info.contains("<string>https://127.0.0.1:1/update-feeds/velkin5.plist</string>")) << info.toStdString();
    EXPECT_EQ(TestSupport::readFile(nested + "/Contents/Resources/CodeSigningAnchors.pem"), "anchors");

    const ToolRun notAProduct = release({"nest", NV_TEST_BUNDLE_DIR, work.filePath("missing.app")});
    EXPECT_EQ(notAProduct.exitCode, 1);
    EXPECT_TRUE(notAProduct.err.contains("is not a bundle with an Info.plist")) << notAProduct.err.toStdString();
}

} // namespace
