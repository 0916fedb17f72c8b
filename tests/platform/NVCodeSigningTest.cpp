#include "platform/NVCodeSigning.h"

#include "driver/NVSUCodeSignature.h"
#include "support/SigningFixture.h"
#include "support/TestSupport.h"

#include <QFile>
#include <QRandomGenerator>

#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

namespace {

using Signer = SigningFixture::Signer;
using namespace NVOpenSSL;

NVCodeSigningResult check(const QString &path, const NVCodeSigningAnchors &anchors, const QString &requirementText = NVSUCodeSignatureRequirement)
{
    auto code = NVStaticCode::create(path);
    if (!code)
        return NVCodeSigningResult::fromError(code.error());
    const auto requirement = NVCodeRequirement::create(requirementText);
    EXPECT_TRUE(requirement.ok());
    return code.value()->checkValidity(requirement.value(), anchors);
}

QByteArray payload(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

QByteArray derOf(CMS_ContentInfo *cms)
{
    unsigned char *der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms, &der);
    QByteArray bytes(reinterpret_cast<const char *>(der), std::max(length, 0));
    OPENSSL_free(der);
    return bytes;
}

// A signature over `content` built step by step, so that tests can make every
// kind of signature the checker must refuse.
QByteArray customSignature(const QByteArray &content, const std::function<void(CMS_ContentInfo *)> &addSigners,
                           const std::function<void(CMS_ContentInfo *)> &afterwards = {})
{
    CMSPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP));
    addSigners(cms.get());
    BIOPtr sink(CMS_dataInit(cms.get(), nullptr));
    EXPECT_TRUE(sink && BIO_write(sink.get(), content.constData(), int(content.size())) == content.size());
    EXPECT_EQ(CMS_dataFinal(cms.get(), sink.get()), 1);
    if (afterwards)
        afterwards(cms.get());
    return derOf(cms.get());
}

void addSigner(CMS_ContentInfo *cms, const NVCodeSigning::SigningIdentity &identity, const EVP_MD *digest = EVP_sha256(), unsigned flags = 0)
{
    ASSERT_NE(CMS_add1_signer(cms, identity.certificate.get(), identity.key.get(), digest, CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL | flags),
              nullptr);
    for (int i = 0; i < sk_X509_num(identity.chain.get()); ++i)
        CMS_add1_cert(cms, sk_X509_value(identity.chain.get(), i));
}

TEST(NVCodeSigning, SignersAreJudgedByChainAndRequirement)
{
    const SigningFixture fixture;
    const QByteArray content = makeBzip2(payload(5000));
    const struct { Signer signer; NVOSStatus status; const char *reason; } cases[] = {
        {Signer::Team, errSecSuccess, "satisfies the requirement"},
        {Signer::TeamNonCriticalMarker, errSecSuccess, "satisfies the requirement"},
        {Signer::OtherTeam, errSecCSReqFailed, "does not satisfy the requirement"},
        {Signer::NoDistributionExtension, errSecCSReqFailed, "does not satisfy the requirement"},
        {Signer::UnknownCriticalExtension, errSecCSSignatureFailed, "unhandled critical extension"},
        {Signer::Expired, errSecCSSignatureFailed, "certificate has expired"},
        {Signer::OtherRoot, errSecCSReqFailed, "does not end in a trust anchor"},
        {Signer::SelfSigned, errSecCSReqFailed, "does not end in a trust anchor"},
    };
    for (const auto &c : cases) {
        const QString name = SigningFixture::signerName(c.signer);
        SCOPED_TRACE(name.toStdString());
        const QString file = fixture.signedFile(name + ".tbz", content, c.signer);
        const NVCodeSigningResult result = check(file, fixture.anchors());
        EXPECT_EQ(result.status, c.status);
        EXPECT_TRUE(result.reason.contains(QLatin1String(c.reason))) << result.reason.toStdString();
    }
}

TEST(NVCodeSigning, AnyChangedByteOfTheSignedRegionIsCaught)
{
    const SigningFixture fixture;
    const QByteArray contents = payload(200000);
    const struct { const char *name; QByteArray content; } formats[] = {
        {"gzip", makeGzip(contents)}, {"zip", makeZip(contents)}, {"bzip2", makeBzip2(contents)}, {"raw", contents},
    };
    for (const auto &format : formats) {
        SCOPED_TRACE(format.name);
        const QString file = fixture.signedFile(QLatin1String(format.name), format.content);
        ASSERT_EQ(check(file, fixture.anchors()).status, errSecSuccess);
        const QByteArray signedBytes = TestSupport::readFile(file);
        auto source = NVFileByteSource::open(file);
        const auto location = NVSignatureSlot::locate(*source.value());
        ASSERT_TRUE(location.ok());
        for (const qint64 at : {qint64(0), location->signedLength / 2, location->signedLength - 1}) {
            SCOPED_TRACE(at);
            const QString changed = fixture.writeFile("changed", flipped(signedBytes, at));
            const NVCodeSigningResult result = check(changed, fixture.anchors());
            EXPECT_EQ(result.status, errSecCSSignatureFailed) << result.reason.toStdString();
        }
    }
}

TEST(NVCodeSigning, MalformedSignaturesAreRefused)
{
    const SigningFixture fixture;
    const NVCodeSigning::SigningIdentity team = fixture.identity(Signer::Team);
    const NVCodeSigning::SigningIdentity otherTeam = fixture.identity(Signer::OtherTeam);
    const QByteArray content = makeBzip2(payload(3000));
    // The team's signature made with the given digest and flags, then changed.
    const auto signature = [&](const EVP_MD *digest, unsigned flags, const std::function<void(CMS_ContentInfo *)> &afterwards = {}) {
        return customSignature(content, [&](CMS_ContentInfo *cms) { addSigner(cms, team, digest, flags); }, afterwards);
    };
    const QByteArray good = signature(EVP_sha256(), 0);
    QByteArray longLength = good;
    ASSERT_EQ(quint8(longLength[1]), 0x82); // a two-byte length, rewritten as three
    longLength.replace(1, 1, QByteArray("\x83\x00", 2));

    const std::pair<QByteArray, const char *> cases[] = {
        {payload(600), "not a CMS structure"},
        {customSignature(content, [&](CMS_ContentInfo *cms) { addSigner(cms, team); addSigner(cms, otherTeam); }), "2 signers"},
        {signature(EVP_sha256(), 0, [](CMS_ContentInfo *cms) {
             CMS_unsigned_add1_attr_by_NID(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0), NID_pkcs9_emailAddress, V_ASN1_IA5STRING,
                                           "a@b.example", 11);
         }),
         "unsigned attributes"},
        {signature(EVP_sha256(), CMS_NOATTR), "no signed attributes"}, {signature(EVP_sha1(), 0), "not SHA-256"},
        {signature(EVP_sha256(), CMS_NOCERTS), "certificate"},
        {signature(EVP_sha256(), 0, [](CMS_ContentInfo *cms) { CMS_set_detached(cms, 0); }), "detached"},
        {longLength, "not DER-encoded"}, {good + QByteArray(3, '\0'), "bytes follow"},
        {flipped(good, good.size() - 1), "does not verify"},
    };
    for (const auto &[cms, reason] : cases) {
        const NVCodeSigningResult result = check(fixture.writeFile("file.tbz", withSignature(content, cms)), fixture.anchors());
        EXPECT_EQ(result.status, errSecCSSignatureFailed) << reason;
        EXPECT_TRUE(result.reason.contains(reason)) << result.reason.toStdString();
    }
    // The well-formed one passes, so the cases above fail for their own reason.
    EXPECT_EQ(check(fixture.writeFile("good.tbz", withSignature(content, good)), fixture.anchors()).status, errSecSuccess);
}

TEST(NVCodeSigning, AnchorsDecideTheAnchorClause)
{
    const SigningFixture fixture;
    const QString file = fixture.signedFile("update.tbz", makeBzip2("x"));

    const NVCodeSigningResult noAnchors = check(file, NVCodeSigningAnchors::fromFile(fixture.path("missing.pem")));
    EXPECT_EQ(noAnchors.status, errSecCSReqFailed);
    EXPECT_TRUE(noAnchors.reason.contains(QLatin1String("cannot read the trust anchors"))) << noAnchors.reason.toStdString();

    const NVCodeSigningAnchors garbage = NVCodeSigningAnchors::fromPEM("not a certificate");
    EXPECT_EQ(garbage.count(), 0);
    EXPECT_EQ(check(file, garbage).status, errSecCSReqFailed);

    // Without the anchor clause the same signature passes without anchors.
    EXPECT_EQ(check(file, NVCodeSigningAnchors(), "certificate leaf[subject.OU] = \"Q4XW8N2JTD\"").status, errSecSuccess);
    EXPECT_EQ(check(file, NVCodeSigningAnchors(), "!anchor apple generic").status, errSecSuccess);
}

TEST(NVCodeSigning, FilesThatCannotBeReadAreBadObjects)
{
    const SigningFixture fixture;
    EXPECT_EQ(check(fixture.path("does-not-exist"), fixture.anchors()).status, errSecCSBadObjectFormat);
    EXPECT_EQ(check(fixture.path(QString()), fixture.anchors()).status, errSecCSBadObjectFormat); // a folder
    EXPECT_EQ(check("/dev/null", fixture.anchors()).status, errSecCSBadObjectFormat);
    const QString fifo = fixture.path("fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(check(fifo, fixture.anchors()).status, errSecCSBadObjectFormat); // and does not wait for a writer
    EXPECT_EQ(check(fixture.writeFile("empty", QByteArray()), fixture.anchors()).status, errSecCSUnsigned);
}

TEST(NVCodeSigning, SigningLeavesNoTraceWhenItRefuses)
{
    const SigningFixture fixture;
    const QString file = fixture.signedFile("once.tgz", makeGzip("data"));
    const QByteArray before = TestSupport::readFile(file);
    const NVResult<void> again = NVCodeSigning::signFile(file, fixture.identity(Signer::Team));
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().code(), NVCodeSigning::Refused);
    EXPECT_EQ(TestSupport::readFile(file), before);

    const auto mismatched = NVCodeSigning::loadIdentity(fixture.certificatePath(Signer::Team), fixture.keyPath(Signer::OtherTeam));
    ASSERT_FALSE(mismatched.ok());
    EXPECT_TRUE(mismatched.error().localizedDescription().contains(QLatin1String("does not belong"))) << mismatched.error().localizedDescription().toStdString();
}

} // namespace
