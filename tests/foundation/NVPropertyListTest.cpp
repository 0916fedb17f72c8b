#include "foundation/NVPropertyList.h"
#include "foundation/NVValue.h"

#include "support/Identical.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QUrl>

#include <gtest/gtest.h>

#include <limits>
#include <sys/stat.h>

using namespace NVPropertyList;

namespace {

// ---- Helpers ------------------------------------------------------------------

QString show(const QVariant &value) { return NVValue::className(value) + u' ' + NVValue::description(value); }

QDateTime utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), QTimeZone::utc());
}

// Every refusal names where it happened; the tables give only what follows
// this prefix.
QString at(const char *rest) { return "Property list error at " + QString::fromUtf8(rest); }

enum class Match { Whole, Part };

// A read refused as corrupt, described exactly as `text` (or containing it).
void expectCorrupt(const NVResult<QVariant> &result, const QString &text, Match match = Match::Whole)
{
    ASSERT_FALSE(result.ok()) << qPrintable(text) << ": read as " << qPrintable(show(*result));
    EXPECT_EQ(result.error().domain(), NSCocoaErrorDomain);
    EXPECT_EQ(result.error().code(), ReadCorruptErrorCode);
    const QString description = result.error().localizedDescription();
    EXPECT_TRUE(match == Match::Whole ? description == text : description.contains(text))
        << qPrintable(description) << "\nexpected: " << qPrintable(text);
}

QByteArray bigEndian(quint64 value, int size)
{
    QByteArray out;
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
        out += char(uchar(value >> shift));
    return out;
}

// Assembles a binary property list from encoded objects, computing the offset
// table and trailer; the overrides let a test corrupt one trailer field.
struct Trailer {
    std::optional<int> offsetSize = std::nullopt;
    int refSize = 1;
    std::optional<quint64> objectCount = std::nullopt;
    quint64 top = 0;
    std::optional<quint64> tableOffset = std::nullopt;
};

QByteArray bplist(const std::vector<QByteArray> &objects, const Trailer &trailer = {})
{
    QByteArray out("bplist00");
    std::vector<quint64> offsets;
    for (const QByteArray &object : objects) {
        offsets.push_back(quint64(out.size()));
        out += object;
    }
    const quint64 table = quint64(out.size());
    int offsetSize = 1;
    while (offsetSize < 8 && (table >> (8 * offsetSize)) != 0)
        ++offsetSize;
    offsetSize = trailer.offsetSize.value_or(offsetSize);
    for (quint64 offset : offsets)
        out += bigEndian(offset, offsetSize);
    out += QByteArray(6, '\0') + char(offsetSize) + char(trailer.refSize);
    out += bigEndian(trailer.objectCount.value_or(objects.size()), 8) + bigEndian(trailer.top, 8);
    out += bigEndian(trailer.tableOffset.value_or(table), 8);
    return out;
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out += char(uchar(v));
    return out;
}

QByteArray utf16(const QString &text, bool littleEndian)
{
    QStringEncoder encoder(littleEndian ? QStringEncoder::Utf16LE : QStringEncoder::Utf16BE, QStringEncoder::Flag::WriteBom);
    return encoder(text);
}

QVariant sampleValue()
{
    QVariantMap localized{{"de", "Grüße"}, {"ja", "こんにちは"}};
    QVariantMap update{
        {"BundleVersion", "5012"}, {"MinusOne", qint64(-1)}, {"AllOnes", std::numeric_limits<quint64>::max()},
        {"Date", utc(2100, 1, 1, 12, 0, 0, 250)}, {"Localized", localized},
        {"Payload", QVariantList{QByteArray("\x00\x01\xff", 3), QVariantList{}, QVariantMap{}}},
        {"Ratio", 0.1}, {"Suppress", false},
    };
    return QVariantList{update, QVariantMap{}, QString::fromUtf8("\xF0\x9F\x98\x80 non-BMP")};
}

// ---- Round trips ----------------------------------------------------------------

TEST(NVPropertyListRoundTrip, BothEncodingsKeepEveryValueAndType)
{
    // -1 and 2^64-1 stay different numbers of different types; integers at
    // each width boundary of the binary encoding.
    const QVariant cases[] = {
        qint64(-1), std::numeric_limits<quint64>::max(), quint64(std::numeric_limits<qint64>::max()) + 1,
        std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max(),
        qint64(255), qint64(256), qint64(65535), qint64(65536), qint64(0xFFFFFFFFLL), qint64(0x100000000LL),
        0.1, -0.0, 1e300, 5e-324, std::nan(""), -std::numeric_limits<double>::infinity(), true, false,
        utc(2100, 3, 1, 0, 0, 0, 1), utc(1850, 6, 15, 8, 30), utc(1, 1, 1), utc(9999, 12, 31, 23, 59, 59, 999), utc(2001, 1, 1),
        QString(), QString::fromUtf8("日本語のテキスト"), QString::fromUtf8("\xF0\x9F\x98\x80\xF0\x9D\x84\x9E"),
        "a\rb\r\nc\td", "<&>\"' ]]>", "  leading and trailing  ",
        QByteArray(), QByteArray("\x00\x01\x02\xff", 4), QByteArray(300, 'x'), QVariantList{}, QVariantMap{},
        QVariantList{QVariantList{QVariantList{QByteArray("deep")}}},
        QVariantMap{{QString(), "empty key"}, {QString::fromUtf8("ключ"), QVariantMap{{"x", qint64(1)}}}},
        sampleValue(),
    };
    // Narrower integers and floats come back as their 64-bit forms.
    const std::pair<QVariant, QVariant> narrow[] = {
        {int(-5), qint64(-5)}, {uint(4000000000u), qint64(4000000000LL)}, {quint64(7), qint64(7)}, {1.5f, 1.5},
    };
    for (Format format : {Format::XML, Format::Binary}) {
        for (const QVariant &value : cases) {
            NVResult<QByteArray> written = write(value, format);
            ASSERT_TRUE(written.ok()) << qPrintable(written.error().localizedDescription());
            NVResult<QVariant> back = format == Format::XML ? readXML(*written) : readBinary(*written);
            ASSERT_TRUE(back.ok()) << qPrintable(back.error().localizedDescription()) << "\n" << written->constData();
            EXPECT_TRUE(identical(*back, value)) << "wrote " << qPrintable(show(value)) << ", read " << qPrintable(show(*back));
        }
        for (const auto &[given, expected] : narrow) {
            NVResult<QVariant> back = read(*write(given, format));
            EXPECT_TRUE(identical(*back, expected)) << qPrintable(show(given)) << " read " << qPrintable(show(*back));
        }
    }
}

TEST(NVPropertyListRoundTrip, SharedStringsAreStoredOnceInBinary)
{
    const QVariantMap entry{{"DownloadURL", "https://example.com/a-long-shared-url.tar.gz"}};
    const QVariantList feed(100, entry);
    const QByteArray data = *write(feed, Format::Binary);
    EXPECT_EQ(data.count("a-long-shared-url"), 1);
    EXPECT_TRUE(identical(*readBinary(data), feed));
}

TEST(NVPropertyListRoundTrip, TextFormReadsBackWhatItWrites)
{
    const QVariant cases[] = {
        QString(),
        "http://example.com/path",
        "a/*b",
        "quote \" backslash \\ newline \n tab \t return \r bell \a",
        QString::fromUtf8("Grüße \xF0\x9F\x98\x80"),
        QByteArray("\x00\x01\xfe\xff\x10\x20\x30\x40\x50", 9),
        QVariantList{"a", QVariantList{}, QVariantMap{{"k", "v"}}},
        QVariantMap{{"key with space", QVariantMap{{"=;", QByteArray("x")}}},
                    {"list", QVariantList{QString(), "()"}}},
    };
    for (const QVariant &value : cases) {
        NVResult<QByteArray> written = write(value, Format::Text);
        ASSERT_TRUE(written.ok());
        NVResult<QVariant> back = readText(*written);
        ASSERT_TRUE(back.ok()) << written->constData() << ": " << qPrintable(back.error().localizedDescription());
        EXPECT_TRUE(identical(*back, value)) << written->constData();
    }
    // Numbers, booleans and dates have no text form of their own.
    const QVariant mixed = QVariantMap{{"n", qint64(-1)}, {"b", true}};
    EXPECT_TRUE(identical(*readText(*write(mixed, Format::Text)), QVariantMap{{"n", "-1"}, {"b", "1"}}));
}

// ---- XML ------------------------------------------------------------------------

TEST(NVPropertyListXML, WritesTabsAndTheDeclarationWithoutDoctype)
{
    const QVariant value = QVariantMap{
        {"Date", utc(2026, 12, 5, 16, 2, 21)},
        {"Dates", QVariantList{utc(2026, 12, 5, 16, 2, 21, 123), utc(1850, 1, 2, 3, 4, 5, 60)}},
        {"Empty", QVariantList{}}, {"Flag", true}, {"Real", 2.5},
        {"Odd", QVariantList{std::nan(""), -std::numeric_limits<double>::infinity(), 1e300}}, {"Data", QByteArray("hello")},
    };
    const QByteArray expected = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                                "\t<key>Data</key>\n\t<data>aGVsbG8=</data>\n"
                                "\t<key>Date</key>\n\t<date>2026-12-05T16:02:21Z</date>\n"
                                "\t<key>Dates</key>\n\t<array>\n"
                                "\t\t<date>2026-12-05T16:02:21.123Z</date>\n\t\t<date>1850-01-02T03:04:05.060Z</date>\n\t</array>\n"
                                "\t<key>Empty</key>\n\t<array/>\n"
                                "\t<key>Flag</key>\n\t<true/>\n"
                                "\t<key>Odd</key>\n\t<array>\n"
                                "\t\t<real>nan</real>\n\t\t<real>-infinity</real>\n\t\t<real>1e+300</real>\n\t</array>\n"
                                "\t<key>Real</key>\n\t<real>2.5</real>\n"
                                "</dict>\n</plist>\n";
    EXPECT_EQ(*write(value, Format::XML), expected);
}

TEST(NVPropertyListXML, ReadsTheScalarForms)
{
    const std::pair<const char *, QVariant> cases[] = {
        {"<integer> -7 </integer>", qint64(-7)}, {"<integer>+3</integer>", qint64(3)}, {"<integer>0x1F</integer>", qint64(31)},
        {"<integer>9223372036854775807</integer>", std::numeric_limits<qint64>::max()},
        {"<integer>9223372036854775808</integer>", quint64(1) << 63},
        {"<integer>18446744073709551615</integer>", std::numeric_limits<quint64>::max()},
        {"<integer>-9223372036854775808</integer>", std::numeric_limits<qint64>::min()},
        {"<real>1.5e3</real>", 1500.0}, {"<real>-.5</real>", -0.5}, {"<real>NaN</real>", std::nan("")},
        {"<real>+inf</real>", std::numeric_limits<double>::infinity()},
        {"<real>-Infinity</real>", -std::numeric_limits<double>::infinity()},
        {"<date>2026-12-05T16:02:21.5Z</date>", utc(2026, 12, 5, 16, 2, 21, 500)},
        {"<date>2026-12-05T16:02:21.123456Z</date>", utc(2026, 12, 5, 16, 2, 21, 123)},
        {"<data>\n\taGVs\n\tbG8=\n</data>", QByteArray("hello")}, {"<data></data>", QByteArray()},
        {"<string>a &amp; b &#x1F600; <![CDATA[<c>]]></string>", QString::fromUtf8("a & b \xF0\x9F\x98\x80 <c>")},
        {"<string/>", QString()}, {"<false></false>", false},
        {"<dict><key>b</key><true/><key>a</key><false/><key>b</key><false/></dict>", QVariantMap{{"a", false}, {"b", false}}},
    };
    for (const auto &[xml, expected] : cases) {
        // Each form as a bare root and inside a <plist> with a doctype.
        const QByteArray full = QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
                                           "\"-//Example//DTD PLIST 1.0//EN\" \"http://www.example.com/DTDs/PropertyList-1.0.dtd\">\n"
                                           "<plist version=\"1.0\">") + xml + "</plist>";
        for (const QByteArray &document : {QByteArray(xml), full}) {
            NVResult<QVariant> value = readXML(document);
            ASSERT_TRUE(value.ok()) << document.constData() << ": " << qPrintable(value.error().localizedDescription());
            EXPECT_TRUE(identical(*value, expected)) << document.constData() << " read " << qPrintable(show(*value));
        }
    }
}

TEST(NVPropertyListXML, RefusesMalformedDocumentsWithLineAndColumn)
{
    const std::pair<const char *, const char *> cases[] = {
        {"<plist>\n<integer>18446744073709551616</integer>\n</plist>",
         "line 2, column 10: integer \"18446744073709551616\" does not fit in 64 bits"},
        {"<integer>12x</integer>", "line 1, column 10: integer \"12x\" is not a number"},
        {"<real>1,5</real>", "line 1, column 7: real \"1,5\" is not a number"},
        {"<real>1e999</real>", "line 1, column 7: real \"1e999\" is out of range"},
        {"<date>2026-13-01T00:00:00Z</date>", "line 1, column 7: date \"2026-13-01T00:00:00Z\" does not exist"},
        {"<date>2026-12-05 16:02:21 +0000</date>",
         "line 1, column 7: date \"2026-12-05 16:02:21 +0000\" is not of the form 2001-12-31T23:59:59Z"},
        {"<date>0000-01-01T00:00:00Z</date>", "line 1, column 7: date \"0000-01-01T00:00:00Z\" does not exist"},
        {"<data>a$b=</data>", "line 1, column 7: data is not valid base64"},
        {"<true>yes</true>", "line 1, column 7: <true> holds text"},
        {"<plist><dict><key>a</key></dict></plist>", "line 1, column 33: key \"a\" has no value"},
        {"<dict><string>x</string></dict>", "line 1, column 15: expected <key> in the dictionary, found <string>"},
        {"<array><key>a</key></array>", "line 1, column 13: <key> outside a dictionary"},
        {"<plist><foo/></plist>", "line 1, column 14: unknown element <foo>"},
        {"<plist></plist>", "line 1, column 16: <plist> holds no value"},
        {"<plist><true/><false/></plist>", "line 1, column 23: <plist> holds more than one value"},
        {"<array><plist/></array>", "line 1, column 16: <plist> inside a value"},
        {"<array>text</array>", "line 1, column 8: unexpected text \"text\""},
        {"<array><string>x</array>", "line 1, column 25: opening and ending tag mismatch"},
        {"<string>a<b/></string>", "line 1, column 14: expected character data"},
        {"<!DOCTYPE plist [<!ENTITY big \"xxxxxxxx\">]><string>&big;</string>", "line 1, column 44: the document type declares entities"},
        {"", "line 1, column 1: premature end of document"}, {"<string>\xff</string>", "byte 8: the text is not valid UTF-8"},
        {"<array>\n<string>\xed\xa0\x80</string></array>", "byte 16: the text is not valid UTF-8"},
    };
    for (const auto &[xml, expected] : cases)
        expectCorrupt(readXML(QByteArray(xml)), at(expected));
}

TEST(NVPropertyListXML, RefusesStringsXMLCannotCarry)
{
    const QString cases[] = {"bell \a", QString(QChar(0xFFFE)), QString(QChar(0xD800)), QString(QChar(0xDC00)) + u'x'};
    for (const QString &text : cases) {
        for (const QVariant &value : {QVariant(text), QVariant(QVariantMap{{text, true}})}) {
            NVResult<QByteArray> xml = write(value, Format::XML);
            ASSERT_FALSE(xml.ok());
            EXPECT_EQ(xml.error().code(), WriteInvalidErrorCode);
            EXPECT_TRUE(xml.error().localizedDescription().startsWith(QLatin1String("Property list write error: the string ")));
        }
    }
    // The binary encoding carries control characters.
    EXPECT_TRUE(identical(*readBinary(*write("bell \a", Format::Binary)), "bell \a"));
}

// ---- Binary ---------------------------------------------------------------------

TEST(NVPropertyListBinary, WritesTheDocumentedLayout)
{
    // ( 1, "a" ): an array of two references, a one-byte integer, an ASCII
    // string, three one-byte offsets and the trailer.
    const QByteArray expected = QByteArray("bplist00") + bytes({0xA2, 0x01, 0x02, 0x10, 0x01, 0x51, 'a', 0x08, 0x0B, 0x0D})
        + QByteArray(6, '\0') + bytes({1, 1}) + bigEndian(3, 8) + bigEndian(0, 8) + bigEndian(15, 8);
    EXPECT_EQ(*write(QVariantList{qint64(1), "a"}, Format::Binary), expected);

    const std::pair<QVariant, QByteArray> scalars[] = {
        {qint64(-1), bytes({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
        {std::numeric_limits<quint64>::max(), bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
        {qint64(200), bytes({0x10, 200})}, {qint64(0x1234), bytes({0x11, 0x12, 0x34})}, {true, bytes({0x09})},
        {1.0, bytes({0x23, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0})},
        {utc(2001, 1, 1, 0, 0, 1), bytes({0x33, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0})},
        {QString::fromUtf8("é"), bytes({0x61, 0x00, 0xE9})}, {QByteArray(15, 'z'), bytes({0x4F, 0x10, 15}) + QByteArray(15, 'z')},
    };
    for (const auto &[value, object] : scalars)
        EXPECT_EQ(write(value, Format::Binary)->mid(8, object.size()), object) << qPrintable(show(value));
}

TEST(NVPropertyListBinary, ReadsTheIntegerAndRealWidths)
{
    const std::pair<QByteArray, QVariant> cases[] = {
        {bytes({0x10, 0xFF}), qint64(255)}, // one, two and four bytes hold unsigned values
        {bytes({0x11, 0xFF, 0xFE}), qint64(65534)}, {bytes({0x12, 0xFF, 0xFF, 0xFF, 0xFF}), qint64(0xFFFFFFFFLL)},
        {bytes({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}), qint64(-2)},
        {bytes({0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), qint64(-1)},
        {bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}), qint64(5)}, {bytes({0x22, 0x3F, 0xC0, 0, 0}), 1.5},
        {bytes({0x33, 0xC1, 0xE0, 0, 0, 0, 0, 0, 0}), utc(2001, 1, 1).addSecs(-2147483648LL)},
    };
    for (const auto &[object, expected] : cases) {
        NVResult<QVariant> value = readBinary(bplist({object}));
        ASSERT_TRUE(value.ok()) << qPrintable(value.error().localizedDescription());
        EXPECT_TRUE(identical(*value, expected)) << object.toHex().constData() << " read " << qPrintable(show(*value));
    }
}

TEST(NVPropertyListBinary, RefusesCorruptFilesWithByteAndReason)
{
    const QByteArray one = bytes({0x10, 0x01});
    const std::pair<QByteArray, const char *> cases[] = {
        {bplist({bytes({0xA1, 99}), one}), "byte 9: object reference 99 is outside the object table"},
        {bplist({bytes({0xA1, 0x01}), bytes({0xA2, 0x02, 0x00}), one}), "byte 12: object 0 contains itself"},
        {bplist({bytes({0xD1, 0x01, 0x00}), bytes({0x51, 'k'})}), "byte 10: object 0 contains itself"},
        {bplist({bytes({0xAF, 0x13, 0x10, 0, 0, 0, 0, 0, 0, 0})}),
         "byte 8: count 1152921504606846976 of the object at byte 8 is larger than the 0 bytes left"},
        {bplist({bytes({0x5F, 0x23, 0, 0, 0, 0, 0, 0, 0, 0})}), "byte 9: the count of the object at byte 8 is not an integer"},
        {bplist({one}).replace(10, 1, bytes({0x40})), "byte 10: object 0 has offset 64, outside the objects"},
        {bplist({one}, {.top = 3}), "byte 27: top object 3 is outside the object table of 1 objects"},
        {bplist({one}, {.tableOffset = 4096}), "byte 35: the offset table (1 entries at byte 4096) does not fit in the file"},
        {bplist({one}, {.objectCount = 1ULL << 62}),
         "byte 19: the object table holds 4611686018427387904 objects, more than the limit of 4000000"},
        {bplist({one}, {.offsetSize = 0}), "byte 16: offset size 0 is not between 1 and 8"},
        {bplist({one}, {.refSize = 0}), "byte 18: object reference size 0 is not between 1 and 8"},
        {bplist({bytes({0x70})}), "byte 8: unknown object marker 0x70"},
        {bplist({bytes({0x00})}), "byte 8: the object at byte 8 is a null, which property lists do not hold"},
        {bplist({bytes({0x80, 0x01})}), "byte 8: the object at byte 8 is a UID, which only archives hold"},
        {bplist({bytes({0xC1, 0x01}), one}), "byte 8: the object at byte 8 is a set, which property lists do not hold"},
        {bplist({bytes({0xD1, 0x01, 0x01}), one}), "byte 9: dictionary key 1 is not a string"},
        {bplist({bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0})}), "byte 8: the integer at byte 8 does not fit in 64 bits"},
        {bplist({bytes({0x33}) + bigEndian(0x7E37E43C8800759CULL, 8)}),
         "byte 8: the date at byte 8 (1e+300 seconds) is outside the years 1 to 9999"},
        {bplist({bytes({0x33, 0x7F, 0xF8, 0, 0, 0, 0, 0, 0})}), "byte 8: the date at byte 8 (nan seconds) is outside the years 1 to 9999"},
        {bplist({bytes({0x62, 0xD8, 0x00, 0x00, 'a'})}), "byte 9: unpaired surrogate U+d800 in a string"},
        {bplist({bytes({0x52, 'a', 0xE9})}), "byte 10: byte 0xe9 in an ASCII string"},
        {bplist({bytes({0x23, 0x3F})}), "byte 8: the object at byte 8 runs past the objects"},
        {QByteArray("bplist01") + QByteArray(40, '\0'), "byte 0: the file does not start with \"bplist00\""},
        {QByteArray("bplist00"), "byte 0: the file is too short (8 bytes) to be a binary property list"},
    };
    for (const auto &[data, expected] : cases)
        expectCorrupt(readBinary(data), at(expected));
}

TEST(NVPropertyListBinary, EveryTruncationOfAValidFileIsAnError)
{
    const QByteArray whole = *write(sampleValue(), Format::Binary);
    ASSERT_TRUE(readBinary(whole).ok());
    for (qsizetype size = 0; size < whole.size(); ++size) {
        NVResult<QVariant> value = readBinary(whole.left(size));
        ASSERT_FALSE(value.ok()) << "prefix of " << size << " bytes";
        EXPECT_EQ(value.error().code(), ReadCorruptErrorCode);
    }
}

TEST(NVPropertyListBinary, SharedReferencesCountAtEveryUse)
{
    // Forty arrays, each holding the next one twice: 2^40 values from a few
    // hundred bytes. It must stop at the object limit, and quickly.
    std::vector<QByteArray> objects;
    for (int i = 0; i < 40; ++i)
        objects.push_back(bytes({0xA2, i + 1, i + 1}));
    objects.push_back(bytes({0x10, 0x07}));
    QElapsedTimer timer;
    timer.start();
    expectCorrupt(readBinary(bplist(objects)), "the document expands to more than 4000000 values", Match::Part);
    EXPECT_LT(timer.elapsed(), 2000);

    // ( ( 7, 7 ), ( 7, 7 ) ) is seven values: within a limit of 7 it reads as
    // the full tree, above a limit of 6 it is refused.
    const QByteArray shared = bplist({bytes({0xA2, 1, 1}), bytes({0xA2, 2, 2}), bytes({0x10, 0x07})});
    NVResult<QVariant> small = readBinary(shared, Limits{.maxObjects = 7});
    const QVariantList pair{qint64(7), qint64(7)};
    EXPECT_TRUE(small.ok() && identical(*small, QVariantList{pair, pair}));
    expectCorrupt(readBinary(shared, Limits{.maxObjects = 6}), at("byte 10: the document expands to more than 6 values"));
}

// ---- Limits ----------------------------------------------------------------------

QByteArray nestedXML(int depth)
{
    return QByteArray("<plist>") + QByteArray("<array>").repeated(depth) + "<true/>" + QByteArray("</array>").repeated(depth) + "</plist>";
}

QByteArray nestedText(int depth) { return QByteArray(depth, '(') + "x" + QByteArray(depth, ')'); }

QByteArray nestedBinary(int depth)
{
    // Object i is an array holding object i + 1; references of three bytes.
    std::vector<QByteArray> objects;
    for (int i = 0; i < depth; ++i)
        objects.push_back(bytes({0xA1}) + bigEndian(quint64(i + 1), 3));
    objects.push_back(bytes({0x09}));
    return bplist(objects, {.refSize = 3});
}

TEST(NVPropertyListLimits, DeepNestingIsRefusedAtTheLimitInEveryEncoding)
{
    struct Encoding { QByteArray (*make)(int); NVResult<QVariant> (*read)(const QByteArray &, const Limits &); };
    const Encoding encodings[] = {
        {nestedXML, readXML}, {nestedBinary, readBinary},
        {nestedText, [](const QByteArray &d, const Limits &l) { return readText(d, l); }},
    };
    for (const Encoding &e : encodings) {
        EXPECT_TRUE(e.read(e.make(3), Limits{.maxDepth = 3}).ok());
        expectCorrupt(e.read(e.make(4), Limits{.maxDepth = 3}), "arrays and dictionaries are nested deeper than 3 levels", Match::Part);
        EXPECT_TRUE(e.read(e.make(512), Limits{}).ok());
        // Far deeper than any stack would take if a reader recursed.
        QElapsedTimer timer;
        timer.start();
        expectCorrupt(e.read(e.make(200000), Limits{}), "arrays and dictionaries are nested deeper than 512 levels", Match::Part);
        EXPECT_LT(timer.elapsed(), 5000);
    }
    // The refusal names where the 513th level opens.
    expectCorrupt(readText(nestedText(600)), at("line 1, column 513: arrays and dictionaries are nested deeper than 512 levels"));
}

TEST(NVPropertyListLimits, ObjectAndSizeLimitsApplyToEveryEncoding)
{
    const QVariant four = QVariantList{"a", "b", "c", "d"};
    const Limits tiny{.maxBytes = 10};
    for (Format format : {Format::XML, Format::Binary, Format::Text}) {
        const QByteArray data = *write(four, format);
        EXPECT_TRUE(read(data, nullptr, Limits{.maxObjects = 5}).ok());
        expectCorrupt(read(data, nullptr, Limits{.maxObjects = 4}),
                      format == Format::Binary ? "the object table holds 5 objects, more than the limit of 4"
                                               : "the document holds more than 4 values",
                      Match::Part);
        expectCorrupt(read(data, nullptr, tiny),
                      at("byte 10: the document is larger than the limit of 10 bytes (%1 bytes)").arg(data.size()));
    }
    // Each reader checks the size itself, not only the detecting one.
    EXPECT_FALSE(readXML(*write(four, Format::XML), tiny).ok());
    EXPECT_FALSE(readBinary(*write(four, Format::Binary), tiny).ok());
    EXPECT_FALSE(readText(*write(four, Format::Text), tiny).ok());
}

TEST(NVPropertyListLimits, MalformedInputCostsLinearTime)
{
    // Long runs of bad entries, unterminated strings and comments: each must
    // be answered in about one pass, not one pass per entry.
    const QByteArray inputs[] = {
        QByteArray("=;").repeated(200000),
        QByteArray("\"k\" = \"v;\n").repeated(100000),
        QByteArray("\"a\" = \"") + QByteArray("x;").repeated(200000),
        QByteArray("a = b;\n") + QByteArray("/*").repeated(200000),
        QByteArray("( ").repeated(400) + QByteArray("a, ").repeated(200000),
    };
    for (const QByteArray &input : inputs) {
        QElapsedTimer timer;
        timer.start();
        EXPECT_TRUE(readStringsTable(input).firstError.has_value());
        EXPECT_FALSE(readText(input).ok());
        EXPECT_LT(timer.elapsed(), 3000) << input.left(20).constData();
    }
}

// ---- Text form -------------------------------------------------------------------

TEST(NVPropertyListText, ReadsTheTextForms)
{
    const QVariantMap ab{{"a", "b"}, {"c", "d"}};
    const std::pair<QByteArray, QVariant> cases[] = {
        {"  \"two words\"  ", "two words"}, {"'single'", "single"},
        {"http://example.com/a+b$c_d:e.f-g", "http://example.com/a+b$c_d:e.f-g"},
        {"\"\\n\\t\\r\\\\\\\"\\a\\b\\f\\v\\'\\q\"", "\n\t\r\\\"\a\b\f\v'q"},
        {"\"\\101\\60\\0010\"", QString("A0") + QChar(1) + u'0'},
        {"\"\\U00e9\\U20AC\\Ud83d\\Ude00\\U41\"", QString::fromUtf8("é€\xF0\x9F\x98\x80") + u'A'},
        {"<0a0B 0c\n 0d>", QByteArray("\x0a\x0b\x0c\x0d")}, {"<>", QByteArray()}, {"( a, \"b\", )", QVariantList{"a", "b"}},
        {"{ k = v; \"x y\" = ( 1 ); d = { }; }", QVariantMap{{"k", "v"}, {"x y", QVariantList{"1"}}, {"d", QVariantMap{}}}},
        {"/* lead */ { a = b; // trailing\n /* inside */ c /**/ = d; }", ab},
        {"a = b;\n\"c\" = \"d\";", ab}, {"\"Cancel\";\n\"OK\" = \"Okay\";", QVariantMap{{"Cancel", "Cancel"}, {"OK", "Okay"}}},
        {"", QVariantMap{}}, {"\xEF\xBB\xBF\"bom\"", "bom"},
        {utf16("\"K\" = \"Wert ✓\";", true), QVariantMap{{"K", QString::fromUtf8("Wert ✓")}}},
        {utf16("( \"😀\" )", false), QVariantList{QString::fromUtf8("😀")}},
    };
    for (const auto &[text, expected] : cases) {
        NVResult<QVariant> value = readText(text);
        ASSERT_TRUE(value.ok()) << text.constData() << ": " << qPrintable(value.error().localizedDescription());
        EXPECT_TRUE(identical(*value, expected)) << text.toHex().constData() << " read " << qPrintable(show(*value));
    }
}

TEST(NVPropertyListText, RefusesMalformedTextWithLineAndColumn)
{
    const std::pair<QByteArray, const char *> cases[] = {
        {"( a, b", "line 1, column 1: unterminated array"},
        {"{ m = 1; a = b }", "line 1, column 16: expected ';' after the value of \"a\""},
        {"{\n  a = b;\n  c d;\n}", "line 3, column 5: expected '=' after the key \"c\""},
        {"( a b )", "line 1, column 5: expected ',' or ')' after an array element"},
        {"( a, , b )", "line 1, column 6: unexpected ',', expected a value"},
        {"{ = b; }", "line 1, column 3: unexpected '=', expected a key"},
        {"\r\n\r\n  \"abc\\", "line 3, column 3: unterminated string"},
        {"/* never closed", "line 1, column 1: unterminated comment"},
        {"<0a1>", "line 1, column 1: data has an odd number of hex digits"}, {"<0g>", "line 1, column 3: unexpected 'g' in data"},
        {"( a ) junk", "line 1, column 7: unexpected 'j' after the value"},
        {"a = b; junk", "line 1, column 12: expected '=' after the key \"junk\""},
        {"\"\\UD800\"", "line 1, column 1: the string holds an unpaired surrogate U+d800"},
        {"\"\\U\"", "line 1, column 2: \\U is not followed by hex digits"},
        {"\"\\777\"", "line 1, column 2: octal escape \\777 is above \\377"},
        {"a = ", "line 1, column 5: unexpected end of text, expected a value"},
        {"\x01", "line 1, column 1: unexpected U+0001, expected a value"}, {"ok\xC3\x28", "byte 2: the text is not valid UTF-8"},
        {"\xF4\x90\x80\x80", "byte 0: the text is not valid UTF-8"},
        {"\xFF\xFE\x41", "byte 2: UTF-16 text has an odd number of bytes"},
        {bytes({0xFF, 0xFE, 0x41, 0x00, 0x00, 0xDC}), "byte 4: unpaired surrogate U+dc00 in UTF-16 text"},
    };
    for (const auto &[text, expected] : cases)
        expectCorrupt(readText(text), at(expected));
}

TEST(NVPropertyListText, ReadsTextHandedInAsAString)
{
    NVResult<QVariant> value = readText(QStringView(u"{ Key = ( \"1\", 2 ); }"));
    ASSERT_TRUE(value.ok());
    EXPECT_TRUE(identical(*value, QVariantMap{{"Key", QVariantList{"1", "2"}}}));
    // Text that did not come through a decoder may hold half a surrogate pair.
    const QString broken = QString("\"a") + QChar(0xDC00) + u'"';
    expectCorrupt(readText(QStringView(broken)), "unpaired surrogate U+dc00", Match::Part);
}

// ---- Detection, writing errors, files ------------------------------------------------

TEST(NVPropertyListFormat, DetectsTheEncodingFromTheBytes)
{
    const QVariant value = QVariantMap{{"a", "b"}};
    const QByteArray dict = "<dict><key>a</key><string>b</string></dict>";
    const std::pair<QByteArray, Format> cases[] = {
        {*write(value, Format::XML), Format::XML}, {*write(value, Format::Binary), Format::Binary},
        {*write(value, Format::Text), Format::Text}, {"  " + dict, Format::XML}, {"<!-- comment -->" + dict, Format::XML},
        {"\xEF\xBB\xBF" + dict, Format::XML},
        {utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + QString::fromLatin1(dict), true), Format::XML},
        {"a = b;", Format::Text}, {"{ a = <beef>; }", Format::Text},
    };
    for (const auto &[data, format] : cases) {
        Format detected = Format::Binary;
        NVResult<QVariant> result = read(data, &detected);
        EXPECT_EQ(int(detected), int(format)) << data.constData();
        ASSERT_TRUE(result.ok()) << data.constData() << ": " << qPrintable(result.error().localizedDescription());
        EXPECT_EQ(result->toMap().value("a").metaType().id(), data.contains("beef") ? QMetaType::QByteArray : QMetaType::QString);
    }
    // Data in the text form starts with '<' too; a run of hex digits is data.
    Format detected = Format::XML;
    EXPECT_TRUE(identical(*read("<deadbeef>", &detected), QByteArray("\xde\xad\xbe\xef")));
    EXPECT_EQ(int(detected), int(Format::Text));
    expectCorrupt(read(" \n"), at("byte 0: the document is empty"));
}

TEST(NVPropertyListFormat, WritingRefusesValuesNoPropertyListHolds)
{
    const std::pair<QVariant, const char *> cases[] = {
        {QVariant(), "an empty (null) value cannot be written"},
        {QVariant(QUrl("https://example.com")), "a value of type QUrl (NSURL) cannot be written"},
        {QVariant(QVariantList{qint64(1), QVariant()}), "an empty (null) value cannot be written"},
        {QVariant(utc(9999, 12, 31, 23, 59, 59, 999).addMSecs(1)), "the date 10000-01-01 00:00:00 +0000 is outside the years 1 to 9999"},
        {QVariant(utc(1, 1, 1).addMSecs(-1)), "the date -0001-12-31 23:59:59 +0000 is outside the years 1 to 9999"},
        {QVariant(QDateTime()), "an invalid date cannot be written"},
    };
    for (const auto &[value, expected] : cases) {
        for (Format format : {Format::XML, Format::Binary, Format::Text}) {
            NVResult<QByteArray> written = write(value, format);
            ASSERT_FALSE(written.ok()) << expected;
            EXPECT_EQ(written.error().domain(), NSCocoaErrorDomain);
            EXPECT_EQ(written.error().code(), WriteInvalidErrorCode);
            EXPECT_EQ(written.error().localizedDescription(), "Property list write error: " + QString::fromUtf8(expected));
        }
    }
}

TEST(NVPropertyListFiles, WritesAtomicallyAndReadsBack)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("values.plist");
    for (Format format : {Format::XML, Format::Binary, Format::Text}) {
        const QVariant value = format == Format::Text ? QVariant(QVariantMap{{"k", "v"}}) : sampleValue();
        ASSERT_TRUE(writeFile(path, value, format).ok());
        Format detected = Format::Text;
        NVResult<QVariant> back = readFile(path, &detected);
        EXPECT_TRUE(back.ok() && identical(*back, value));
        EXPECT_EQ(int(detected), int(format));
    }
    // The replacement keeps the old file's permissions and leaves no
    // temporary file behind.
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0600), 0);
    ASSERT_TRUE(writeFile(path, QVariantList{}, Format::XML).ok());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"values.plist"});

    // An unwritable value leaves the old file whole.
    NVResult<void> failed = writeFile(path, QVariant(QUrl()), Format::XML);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().userInfo().value(NSFilePathErrorKey).toString(), path);
    EXPECT_TRUE(identical(*readFile(path), QVariantList{}));
}

TEST(NVPropertyListFiles, FileErrorsNameThePath)
{
    QTemporaryDir dir;
    const QString missing = dir.filePath("missing.plist");
    const QString inMissingFolder = dir.filePath("no/such/folder.plist");
    const QString corrupt = dir.filePath("corrupt.plist");
    QFile file(corrupt);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("<plist><dict><key>a</key></dict></plist>") > 0);
    file.close();
    // Failures to open are POSIX errors; a corrupt file is a property-list error.
    const std::tuple<NVError, QString, int, QString> cases[] = {
        {readFile(missing).error(), NSPOSIXErrorDomain, ENOENT, missing},
        {readFile(dir.path()).error(), NSPOSIXErrorDomain, EISDIR, dir.path()},
        {writeFile(inMissingFolder, QVariantMap{}, Format::XML).error(), NSPOSIXErrorDomain, ENOENT, inMissingFolder},
        {readFile(corrupt).error(), NSCocoaErrorDomain, int(ReadCorruptErrorCode), corrupt},
    };
    for (const auto &[error, domain, code, path] : cases) {
        EXPECT_EQ(error.domain(), domain);
        EXPECT_EQ(error.code(), code);
        EXPECT_EQ(error.userInfo().value(NSFilePathErrorKey).toString(), path);
    }
    EXPECT_TRUE(readFile(corrupt, nullptr, Limits{.maxBytes = 8}).error().localizedDescription().contains(QLatin1String("larger than the limit of 8")));
}

// ---- String tables ---------------------------------------------------------------

TEST(NVPropertyListStringsTable, ReadsCommentsEscapesAndEncodings)
{
    const QString table = QStringLiteral("/* The update window */\n"
                                         "\"Install\" = \"Install \\\"%@\\\"\";   // trailing comment\n"
                                         "\"Lines\" = \"one\\ntwo\\U2026\";\n"
                                         "Unquoted = yes;\n"
                                         "\"Skip\";\n"
                                         "/* \"Commented\" = \"out\"; */\n"
                                         "\"Täst\" = \"Prüfung 😀\";\n");
    const QVariantMap expected{
        {"Install", "Install \"%@\""}, {"Lines", QString::fromUtf8("one\ntwo…")}, {"Unquoted", "yes"}, {"Skip", "Skip"},
        {QString::fromUtf8("Täst"), QString::fromUtf8("Prüfung 😀")},
    };
    // Tables kept as XML or binary property lists read the same.
    const QByteArray encodings[] = {table.toUtf8(), "\xEF\xBB\xBF" + table.toUtf8(), utf16(table, true), utf16(table, false),
                                    QByteArray("{\n") + table.toUtf8() + "}\n", *write(expected, Format::XML),
                                    *write(expected, Format::Binary)};
    for (const QByteArray &data : encodings) {
        const StringsTable result = readStringsTable(data);
        EXPECT_FALSE(result.firstError.has_value()) << qPrintable(result.firstError->localizedDescription());
        EXPECT_EQ(result.entries, expected) << data.left(8).toHex().constData();
    }
    EXPECT_TRUE(readStringsTable("").entries.isEmpty());
    EXPECT_FALSE(readStringsTable("").firstError.has_value());
}

TEST(NVPropertyListStringsTable, KeepsGoodEntriesAroundAMalformedOne)
{
    struct Case { const char *text; QStringList keys; int line; const char *error; };
    const Case cases[] = {
        {"\"a\" = \"1\";\n\"b\" = \"2;\n\"c\" = \"3\";\n\"d\" = \"4\";\n", {"a", "c", "d"}, 3,
         "line 3, column 2: expected ';' after the value of \"b\""},
        {"\"a\" = \"1\"\n\"b\" = \"2\";\n\"c\" = \"3\";\n", {"c"}, 2, "line 2, column 1: expected ';' after the value of \"a\""},
        // Of two bad entries, the first is reported.
        {"\"a\" = ;\n\"b\" = \"2\";\n\"c\" = = \"3\";\n\"d\" = \"4\";\n", {"b", "d"}, 1,
         "line 1, column 7: unexpected ';', expected a value"},
        {"\"a\" = ( \"x\" );\n\"b\" = \"2\";\n", {"b"}, 1, "line 1, column 7: the value of \"a\" is an NSArray, not a string"},
        {"\"a\" = \"\\UD800\";\n\"b\" = \"2\";\n", {"b"}, 1, "line 1, column 7: the string holds an unpaired surrogate U+d800"},
        {"\"a\" = \"1\";\n/* open\n", {"a"}, 2, "line 2, column 1: unterminated comment"},
        {"\"a\" = \"1\" x; \"b\" = \"2\";", {"b"}, 1, "line 1, column 11: expected ';' after the value of \"a\""},
        {"{ \"a\" = \"1\";\n", {"a"}, 1, "line 1, column 1: unterminated dictionary"},
    };
    for (const Case &c : cases) {
        const StringsTable table = readStringsTable(QByteArray(c.text));
        EXPECT_EQ(table.entries.keys(), c.keys) << c.text;
        ASSERT_TRUE(table.firstError.has_value()) << c.text;
        EXPECT_EQ(table.firstError->domain(), NSCocoaErrorDomain);
        EXPECT_EQ(table.firstError->code(), ReadCorruptErrorCode);
        EXPECT_EQ(table.firstError->localizedDescription(), at(c.error));
        EXPECT_EQ(table.firstErrorLine, c.line) << c.text;
    }
    // Values survive exactly, and a malformed XML table is reported with its line.
    EXPECT_EQ(readStringsTable("\"a\" = \"1\";\n\"b\" = \"2;\n\"c\" = \"3\";\n").entries.value("c"), "3");
    const StringsTable xml = readStringsTable("<plist>\n<dict>\n<key>a</key>\n</dict></plist>");
    EXPECT_TRUE(xml.entries.isEmpty());
    EXPECT_EQ(xml.firstErrorLine, 4);
}

} // namespace
