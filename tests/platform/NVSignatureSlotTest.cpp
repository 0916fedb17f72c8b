#include "platform/NVSignatureSlot.h"

#include "support/SigningFixture.h"

#include <QtEndian>

#include <gtest/gtest.h>

namespace {

using namespace NVSignatureSlot;

// Slot tests do not need a real signature: any bytes free of "PK\5\6" do.
const QByteArray fakeCms = QByteArray("0\x82") + QByteArray(300, 'c');

QByteArray le32(quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    return QByteArray(bytes, 4);
}

QByteArray trailer(quint32 length) { return le32(length) + QByteArray(Magic, sizeof Magic); }

QByteArray signedLike(const QByteArray &content, const QByteArray &cms = fakeCms) { return withSignature(content, cms); }

QByteArray patched(QByteArray bytes, qint64 at, const QByteArray &replacement)
{
    bytes.replace(at < 0 ? bytes.size() + at : at, replacement.size(), replacement);
    return bytes;
}

// Where each format keeps its signature is walked by the signing tests,
// which sign and check real files of every format; the fuzz target walks
// malformed slots at large. These are the refusals a forger would try. What
// signing refuses (a signed file, a zip with a comment) is the release tool's
// concern, and its verification would show a file that slipped through.
TEST(NVSignatureSlot, BrokenSlotsGetTheirStatus)
{
    const QByteArray gzip = makeGzip("some data");
    const QByteArray zip = makeZip("some data");
    const QByteArray bzip2 = makeBzip2("some data");
    const QByteArray signedGzip = signedLike(gzip);
    const qint64 member = gzip.size();
    const QByteArray endRecordCms = fakeCms + QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');

    // A gzip member with the extra field and real data behind it: gunzip
    // would produce the data, so it must never pass as the empty slot member.
    const QByteArray nonEmptyMember = composeSlot(Kind::Gzip, fakeCms).chopped(10) + makeGzip("extra content").mid(10);

    struct Case { const char *name; QByteArray bytes; NVOSStatus status; const char *reason; };
    const Case cases[] = {
        {"unsigned gzip", gzip, errSecCSUnsigned, "no signature member"},
        {"length beyond the file", QByteArray("ab") + trailer(100), errSecCSBadObjectFormat, "impossible signature length"},
        {"appended block on gzip", gzip + composeSlot(Kind::Appended, fakeCms), errSecCSSignatureFailed, "outside a gzip member"},
        {"gzip member on bzip2", bzip2 + composeSlot(Kind::Gzip, fakeCms), errSecCSSignatureFailed, "not gzip"},
        {"gzip member longer than the file", patched(composeSlot(Kind::Gzip, fakeCms), -22, le32(fakeCms.size() + 10)),
         errSecCSBadObjectFormat, "before the start"},
        {"gzip member with a name flag", patched(signedGzip, member + 3, "\x0c"), errSecCSSignatureFailed, "canonical empty member"},
        {"gzip member that is not empty", gzip + nonEmptyMember, errSecCSUnsigned, "no signature member"},
        {"bytes after the gzip member", signedGzip + "x", errSecCSUnsigned, "no signature member"},
        {"gzip member holding an end record", signedLike(gzip, endRecordCms), errSecCSSignatureFailed, "zip end record"},
        {"zip comment length differs", patched(signedLike(zip), zip.size() - 2, "\x01\x00"), errSecCSSignatureFailed, "comment length"},
        {"zip comment hides an end record", signedLike(zip, endRecordCms), errSecCSSignatureFailed, "second end record"},
        {"appended block holding an end record", signedLike(bzip2, endRecordCms), errSecCSSignatureFailed, "zip end record"},
        {"end record spanning into the block", QByteArray("xPK\x05") + composeSlot(Kind::Appended, "\x06" + fakeCms),
         errSecCSSignatureFailed, "zip end record"},
        {"bytes after the appended block", signedLike(bzip2) + "x", errSecCSUnsigned, "no signature"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto location = locate(NVMemoryByteSource(c.bytes));
        ASSERT_FALSE(location.ok());
        EXPECT_EQ(location.error().code(), c.status);
        EXPECT_TRUE(location.error().localizedDescription().contains(QLatin1String(c.reason)))
            << location.error().localizedDescription().toStdString();
    }
}

} // namespace
