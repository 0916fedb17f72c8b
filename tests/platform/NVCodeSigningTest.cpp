#include "platform/NVCodeSigning.h"

#include "driver/NVSUCodeSignature.h"
#include "support/SigningFixture.h"
#include "support/TestSupport.h"

#include <QFile>

#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

QByteArray payload(int size) { return QByteArray("signed update payload\n").repeated(size / 22 + 1).left(size); }

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
    unsigned char *der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms.get(), &der);
    QByteArray bytes(reinterpret_cast<const char *>(der), std::max(length, 0));
    OPENSSL_free(der);
    return bytes;
}

void addSigner(CMS_ContentInfo *cms, const NVCodeSigning::SigningIdentity &identity, const EVP_MD *digest = EVP_sha256(), unsigned flags = 0)
{
    ASSERT_NE(CMS_add1_signer(cms, identity.certificate.get(), identity.key.get(), digest, CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL | flags),
              nullptr);
    for (int i = 0; i < sk_X509_num(identity.chain.get()); ++i)
        CMS_add1_cert(cms, sk_X509_value(identity.chain.get(), i));
}

// `der` with the entries of the element at `path` (child indexes from the
// outermost element down) changed by `edit`, and every length around them
// written anew: the way to add what OpenSSL's own calls refuse to add.
QByteArray editedDER(const QByteArray &der, QList<int> path, const std::function<void(QList<QByteArray> &)> &edit)
{
    const auto *cursor = reinterpret_cast<const unsigned char *>(der.constData());
    long length = 0;
    int tag = 0, tagClass = 0, entryTag = 0, entryClass = 0;
    EXPECT_FALSE(ASN1_get_object(&cursor, &length, &tag, &tagClass, der.size()) & 0x80);
    QList<QByteArray> entries;
    for (const unsigned char *end = cursor + length, *entry = cursor; entry < end; entry = cursor) {
        EXPECT_FALSE(ASN1_get_object(&cursor, &length, &entryTag, &entryClass, end - cursor) & 0x80);
        cursor += length;
        entries << QByteArray(reinterpret_cast<const char *>(entry), int(cursor - entry));
    }
    if (path.isEmpty())
        edit(entries);
    else
        entries[path.first()] = editedDER(entries[path.first()], path.mid(1), edit);
    const QByteArray inner = entries.join();
    QByteArray result(ASN1_object_size(1, int(inner.size()), tag), '\0');
    auto *out = reinterpret_cast<unsigned char *>(result.data());
    ASN1_put_object(&out, 1, int(inner.size()), tag, tagClass);
    std::memcpy(out, inner.constData(), size_t(inner.size()));
    return result;
}

// ContentInfo → [0] → SignedData → certificates.
const QList<int> certificateSet = {1, 0, 3};

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
    const QByteArray contents = payload(20000), gzip = makeGzip(contents), zip = makeZip(contents);
    // A signature covers the content whole, but for a zip's comment length,
    // which the slot after it sets.
    const struct { const char *name; QByteArray content; qint64 signedLength; } formats[] = {
        {"gzip", gzip, gzip.size()}, {"zip", zip, zip.size() - 2}, {"raw", contents, contents.size()},
    };
    for (const auto &format : formats) {
        SCOPED_TRACE(format.name);
        const QString file = fixture.signedFile(QLatin1String(format.name), format.content);
        ASSERT_EQ(check(file, fixture.anchors()).status, errSecSuccess);
        const QByteArray signedBytes = TestSupport::readFile(file);
        auto source = NVFileByteSource::open(file);
        ASSERT_EQ(NVSignatureSlot::locate(*source.value())->signedLength, format.signedLength);
        for (const qint64 at : {qint64(0), format.signedLength - 1}) {
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

    // Certificates and revocation lists ride outside what is signed.
    const NVCodeSigningAnchors anchors = fixture.anchors();
    X509 *anchor = sk_X509_value(anchors.certificates(), 0);
    const std::unique_ptr<X509_CRL, Deleter<X509_CRL_free>> crl(X509_CRL_new());
    const std::unique_ptr<ASN1_TIME, Deleter<ASN1_TIME_free>> now(ASN1_TIME_set(nullptr, std::time(nullptr)));
    ASSERT_TRUE(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(team.certificate.get())) && X509_CRL_set1_lastUpdate(crl.get(), now.get())
                && X509_CRL_sign(crl.get(), team.key.get(), EVP_sha256()) > 0);
    const auto adding = [&](X509 *certificate) {
        return signature(EVP_sha256(), 0, [certificate](CMS_ContentInfo *cms) { ASSERT_EQ(CMS_add1_cert(cms, certificate), 1); });
    };
    // A copy next to the original keeps the set in DER order.
    const QByteArray chainCertificateTwice = editedDER(good, certificateSet, [](QList<QByteArray> &entries) { entries.insert(0, entries[0]); });

    const std::pair<QByteArray, const char *> cases[] = {
        {adding(otherTeam.certificate.get()), "\"CN=Fixture signer other-team,OU=Z9OTHERT3M,O=Norvane\", which is not on the signer's chain"},
        {adding(anchor), "the self-signed certificate \"CN=Fixture Root,O=Signing Fixture\""},
        {chainCertificateTwice, "\" twice"},
        {signature(EVP_sha256(), 0, [&](CMS_ContentInfo *cms) { ASSERT_EQ(CMS_add1_crl(cms, crl.get()), 1); }), "revocation information (CRLs)"},
        {customSignature(content, [&](CMS_ContentInfo *cms) { addSigner(cms, team); addSigner(cms, otherTeam); }), "2 signers"},
        {signature(EVP_sha256(), 0, [](CMS_ContentInfo *cms) {
             CMS_unsigned_add1_attr_by_NID(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0), NID_pkcs9_emailAddress, V_ASN1_IA5STRING,
                                           "a@b.example", 11);
         }),
         "unsigned attributes"},
        {signature(EVP_sha1(), 0), "not SHA-256"}, {signature(EVP_sha256(), CMS_NOCERTS), "certificate"},
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

    // Without the anchor clause the same signature passes without anchors;
    // the team is matched exactly, not ignoring case.
    EXPECT_EQ(check(file, NVCodeSigningAnchors(), "certificate leaf[subject.OU] = \"Q4XW8N2JTD\"").status, errSecSuccess);
    EXPECT_EQ(check(file, NVCodeSigningAnchors(), "certificate leaf[subject.OU] = \"q4xw8n2jtd\"").status, errSecCSReqFailed);
}

TEST(NVCodeSigning, FilesThatCannotBeReadAreBadObjects)
{
    const SigningFixture fixture;
    EXPECT_EQ(check(fixture.path("does-not-exist"), fixture.anchors()).status, errSecCSBadObjectFormat);
    const QString fifo = fixture.path("fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(check(fifo, fixture.anchors()).status, errSecCSBadObjectFormat); // and does not wait for a writer
    EXPECT_EQ(check(fixture.writeFile("empty", QByteArray()), fixture.anchors()).status, errSecCSUnsigned);
}

// A refused signing leaves the file unsigned: see the release tool's tests.
TEST(NVCodeSigning, AKeyOfAnotherCertificateIsRefused)
{
    const SigningFixture fixture;
    const auto mismatched = NVCodeSigning::loadIdentity(fixture.certificatePath(Signer::Team), fixture.keyPath(Signer::OtherTeam));
    ASSERT_FALSE(mismatched.ok());
    EXPECT_TRUE(mismatched.error().localizedDescription().contains(QLatin1String("does not belong"))) << mismatched.error().localizedDescription().toStdString();
}

// Reads through the real file and, once the first piece of the signed bytes
// has been hashed, changes a hashed byte in place with size and times set
// back: a change while the check streams the file that only the change time tells.
class ChangedWhileRead : public NVByteSource {
public:
    explicit ChangedWhileRead(const QString &path) : m_file(std::move(NVFileByteSource::open(path).value())), m_path(path) {}
    qint64 size() const override { return m_file->size(); }
    bool isUnchanged() const override { return m_file->isUnchanged(); }
    bool readAt(qint64 offset, char *buffer, qint64 length) const override
    {
        const bool read = m_file->readAt(offset, buffer, length);
        if (offset == 0 && length == NVCodeSigning::DigestChunkSize && !m_changed) {
            m_changed = true;
            const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR);
            struct stat before {};
            char first = 0;
            EXPECT_TRUE(::fstat(fd, &before) == 0 && ::pread(fd, &first, 1, 0) == 1);
            first = char(first ^ 1);
            EXPECT_EQ(::pwrite(fd, &first, 1, 0), 1);
            const timespec times[2] = {before.st_atim, before.st_mtim};
            EXPECT_EQ(::futimens(fd, times), 0);
            ::close(fd);
        }
        return read;
    }
    mutable bool m_changed = false;

private:
    std::unique_ptr<NVFileByteSource> m_file;
    QString m_path;
};

// File times tick coarsely on some systems: waits until a fresh write gets a
// change time after the file's own.
void waitForTheClockToPass(const QString &file)
{
    struct stat written {};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &written), 0);
    const QString probe = file + ".probe";
    ASSERT_TRUE(TestSupport::waitFor([&] {
        TestSupport::writeFile(probe, "x");
        struct stat now {};
        return ::stat(QFile::encodeName(probe).constData(), &now) == 0
            && std::pair(now.st_ctim.tv_sec, now.st_ctim.tv_nsec) > std::pair(written.st_ctim.tv_sec, written.st_ctim.tv_nsec);
    }));
}

TEST(NVCodeSigning, AFileChangedDuringTheCheckIsNeverValid)
{
    const SigningFixture fixture;
    const QString file = fixture.signedFile("update.bin", payload(int(NVCodeSigning::DigestChunkSize) * 3 / 2));
    waitForTheClockToPass(file);
    auto source = std::make_unique<ChangedWhileRead>(file);
    const ChangedWhileRead *watched = source.get();
    const auto requirement = NVCodeRequirement::create(NVSUCodeSignatureRequirement);
    // The code owns the source that `watched` points into: it must outlive the checks.
    const auto code = NVStaticCode::create(std::move(source));
    const NVCodeSigningResult result = code->checkValidity(*requirement, fixture.anchors());
    ASSERT_TRUE(watched->m_changed);
    EXPECT_EQ(result.status, errSecCSBadObjectFormat) << result.reason.toStdString();
    EXPECT_EQ(result.reason, "the file changed while it was being checked");
}

} // namespace
