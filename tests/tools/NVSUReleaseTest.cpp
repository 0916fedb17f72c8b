#include "support/SigningFixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

const QString tool = QStringLiteral(NV_TEST_BUNDLE_DIR "/Contents/MacOS/nvsu-release");

using ToolRun = TestSupport::ProcessResult;

ToolRun release(const QStringList &arguments) { return TestSupport::run(tool, arguments); }

// Packaging is checked where archives are unpacked (the unarchivers' round
// trips and the disk-image tool's test); signed archives of every format are
// unpacked by root's staging test and installed by the whole runs, whose
// products carry an updater nested by this tool.
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

} // namespace
