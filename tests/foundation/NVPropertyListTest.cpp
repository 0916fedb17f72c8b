#include "foundation/NVPropertyList.h"
#include "foundation/NVValue.h"

#include "support/Identical.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QUrl>

#include <gtest/gtest.h>

#include <limits>
#include <sys/stat.h>

using namespace NVPropertyList;

namespace {

QString show(const QVariant &value) { return NVValue::className(value) + u' ' + NVValue::description(value); }

QDateTime utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), QTimeZone::utc());
}

// Every refusal names where it happened; the tables give only what follows.
QString at(const char *rest) { return "Property list error at " + QString::fromUtf8(rest); }

// A read refused as corrupt, with exactly `text` (or a description containing it).
void expectCorrupt(const NVResult<QVariant> &result, const QString &text, bool whole = true)
{
    ASSERT_FALSE(result.ok()) << qPrintable(text) << ": read as " << qPrintable(show(*result));
    EXPECT_EQ(result.error().domain(), NSCocoaErrorDomain);
    EXPECT_EQ(result.error().code(), ReadCorruptErrorCode);
    const QString description = result.error().localizedDescription();
    EXPECT_TRUE(whole ? description == text : description.contains(text)) << qPrintable(description) << "\nexpected: " << qPrintable(text);
}

QByteArray bigEndian(quint64 value, int size)
{
    QByteArray out;
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
        out += char(uchar(value >> shift));
    return out;
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out += char(uchar(v));
    return out;
}

// Assembles a binary property list from encoded objects; the overrides let a
// test corrupt one trailer field.
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
    const int offsetSize = trailer.offsetSize.value_or(table < 256 ? 1 : 2);
    for (quint64 offset : offsets)
        out += bigEndian(offset, offsetSize);
    out += QByteArray(6, '\0') + char(offsetSize) + char(trailer.refSize);
    out += bigEndian(trailer.objectCount.value_or(objects.size()), 8) + bigEndian(trailer.top, 8);
    return out + bigEndian(trailer.tableOffset.value_or(table), 8);
}

QVariant sampleValue()
{
    const QVariantMap update{
        {"BundleVersion", "5012"}, {"MinusOne", qint64(-1)}, {"AllOnes", std::numeric_limits<quint64>::max()},
        {"Date", utc(2100, 1, 1, 12, 0, 0, 250)}, {"Localized", QVariantMap{{"de", "Grüße"}, {"ja", "こんにちは"}}},
        {"Payload", QVariantList{QByteArray("\x00\x01\xff", 3), QVariantList{}, QVariantMap{}}}, {"Ratio", 0.1}, {"Suppress", false},
    };
    return QVariantList{update, QVariantMap{}, QString::fromUtf8("\xF0\x9F\x98\x80 non-BMP")};
}

TEST(NVPropertyList, BothEncodingsKeepEveryValueAndType)
{
    // -1 and 2^64-1 stay different numbers of different types; integers at
    // width boundaries of the binary encoding; dates at the ends of the range.
    const QVariant cases[] = {
        std::numeric_limits<qint64>::min(), qint64(256), qint64(0x100000000LL), -0.0, std::nan(""),
        utc(1850, 6, 15, 8, 30), utc(1, 1, 1), utc(9999, 12, 31, 23, 59, 59, 999),
        QString(), "a\rb\r\nc\td", "<&>\"' ]]>", QByteArray(300, 'x'), QVariantMap{{QString(), "empty key"}}, sampleValue(),
    };
    // Narrower integers and floats come back as their 64-bit forms.
    const std::pair<QVariant, QVariant> narrow[] = {{uint(4000000000u), qint64(4000000000LL)}, {1.5f, 1.5}};
    for (Format format : {Format::XML, Format::Binary}) {
        for (const QVariant &value : cases) {
            NVResult<QByteArray> written = write(value, format);
            ASSERT_TRUE(written.ok()) << qPrintable(written.error().localizedDescription());
            NVResult<QVariant> back = format == Format::XML ? readXML(*written) : readBinary(*written);
            ASSERT_TRUE(back.ok()) << qPrintable(back.error().localizedDescription()) << "\n" << written->constData();
            EXPECT_TRUE(identical(*back, value)) << "wrote " << qPrintable(show(value)) << ", read " << qPrintable(show(*back));
        }
        for (const auto &[given, expected] : narrow)
            EXPECT_TRUE(identical(*read(*write(given, format)), expected)) << qPrintable(show(given));
    }
    // The text form holds strings, data, arrays and dictionaries; numbers and
    // booleans are written as their text.
    const QVariant text = QVariantMap{{"key \"q\"", QVariantList{QString(), "()"}}, {"d", QByteArray("\x00\xff", 2)}, {"n", qint64(-1)}};
    const QVariant textBack = QVariantMap{{"key \"q\"", QVariantList{QString(), "()"}}, {"d", QByteArray("\x00\xff", 2)}, {"n", "-1"}};
    EXPECT_TRUE(identical(*readText(*write(text, Format::Text)), textBack)) << write(text, Format::Text)->constData();
}

// Each case also shows that read() detects its encoding from the bytes.
TEST(NVPropertyList, ReadsTheForeignFormsOfEachEncoding)
{
    const QByteArray doctype = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Example//DTD PLIST 1.0//EN\" "
                               "\"http://www.example.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">";
    const std::pair<QByteArray, QVariant> cases[] = {
        {"<integer> 0x1F </integer>", qint64(31)},
        {doctype + "<date>2026-12-05T16:02:21.123456Z</date></plist>", utc(2026, 12, 5, 16, 2, 21, 123)},
        {QStringEncoder(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom)(u"<?xml version=\"1.0\"?><!-- c --><string>é</string>"),
         QString::fromUtf8("é")},
        {"<string>a &amp; b &#x1F600; <![CDATA[<c>]]></string>", QString::fromUtf8("a & b \xF0\x9F\x98\x80 <c>")},
        {doctype + "<dict><key>b</key><true/><key>a</key><false/><key>b</key><false/></dict></plist>",
         QVariantMap{{"a", false}, {"b", false}}},
        // Binary integers of one, two and four bytes are unsigned; of sixteen, the low half.
        {bplist({bytes({0x12, 0xFF, 0xFF, 0xFF, 0xFF})}), qint64(0xFFFFFFFFLL)},
        {bplist({bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5})}), qint64(5)},
        // What a round trip through this reader could not pin: the epoch of dates, and UTF-16 text.
        {bplist({bytes({0x33, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0})}), utc(2001, 1, 1, 0, 0, 1)}, {bplist({bytes({0x61, 0x00, 0xE9})}), "é"},
        // The text form: quoting, escapes, data (which starts with '<' too), comments, and a table without braces.
        {"\"\\n\\t\\\"\\101\\U00e9\\Ud83d\\Ude00\"", QString::fromUtf8("\n\t\"Aé\xF0\x9F\x98\x80")},
        {"<0a0B 0c\n 0d>", QByteArray("\x0a\x0b\x0c\x0d")}, {"( 'a', b, )", QVariantList{"a", "b"}},
        {"/* lead */ { k = v; // trailing\n d = { }; }", QVariantMap{{"k", "v"}, {"d", QVariantMap{}}}},
        {"\"Cancel\";\n\"OK\" = \"Okay\";", QVariantMap{{"Cancel", "Cancel"}, {"OK", "Okay"}}}, {"\xEF\xBB\xBF\"bom\"", "bom"},
    };
    for (const auto &[data, expected] : cases) {
        NVResult<QVariant> value = read(data);
        ASSERT_TRUE(value.ok()) << data.toHex().constData() << ": " << qPrintable(value.error().localizedDescription());
        EXPECT_TRUE(identical(*value, expected)) << data.toHex().constData() << " read " << qPrintable(show(*value));
    }
    expectCorrupt(read(" \n"), at("byte 0: the document is empty"));
}

NVResult<QVariant> readAs(Format format, const QByteArray &data, const Limits &limits = {})
{
    return format == Format::XML ? readXML(data, limits) : format == Format::Binary ? readBinary(data, limits) : readText(data, limits);
}

// The fuzz targets feed every reader malformed input at large; these few
// show that a refusal names where and why, as the log line a user reads.
TEST(NVPropertyList, RefusesMalformedInputNamingWhereAndWhy)
{
    const QByteArray one = bytes({0x10, 0x01});
    const std::tuple<Format, QByteArray, const char *> cases[] = {
        {Format::XML, "<plist>\n<integer>18446744073709551616</integer>\n</plist>",
         "line 2, column 10: integer \"18446744073709551616\" does not fit in 64 bits"},
        {Format::XML, "<!DOCTYPE plist [<!ENTITY big \"xxxxxxxx\">]><string>&big;</string>", "line 1, column 44: the document type declares entities"},
        {Format::XML, "<string>\xff</string>", "byte 8: the text is not valid UTF-8"},
        {Format::Binary, bplist({bytes({0xA1, 99}), one}), "byte 9: object reference 99 is outside the object table"},
        {Format::Binary, bplist({bytes({0xA1, 0x01}), bytes({0xA2, 0x02, 0x00}), one}), "byte 12: object 0 contains itself"},
        {Format::Binary, bplist({one}, {.objectCount = 1ULL << 62}),
         "byte 19: the object table holds 4611686018427387904 objects, more than the limit of 4000000"},
        {Format::Text, "{\n  a = b;\n  c d;\n}", "line 3, column 5: expected '=' after the key \"c\""},
        {Format::Text, "\r\n\r\n  \"abc\\", "line 3, column 3: unterminated string"},
    };
    for (const auto &[format, data, expected] : cases)
        expectCorrupt(readAs(format, data), at(expected));

    // Every prefix of a valid file (a download cut short) is refused.
    const QByteArray whole = *write(sampleValue(), Format::Binary);
    for (qsizetype size = 0; size < whole.size(); ++size)
        ASSERT_EQ(readBinary(whole.left(size)).error().code(), ReadCorruptErrorCode) << size;

    // Long runs of bad entries, unterminated strings and comments are
    // answered in about one pass each (a pass per entry would not finish).
    for (const QByteArray &input : {QByteArray("=;").repeated(200000), QByteArray("\"a\" = \"") + QByteArray("x;").repeated(200000),
                                    QByteArray("a = b;\n") + QByteArray("/*").repeated(200000)}) {
        EXPECT_TRUE(readStringsTable(input).firstError.has_value());
        EXPECT_FALSE(readText(input).ok());
    }
}

TEST(NVPropertyList, WritingRefusesValuesNoPropertyListHolds)
{
    const NVResult<QByteArray> date = write(utc(9999, 12, 31, 23, 59, 59, 999).addMSecs(1), Format::Binary);
    EXPECT_EQ(date.error().code(), WriteInvalidErrorCode);
    EXPECT_EQ(date.error().localizedDescription(), "Property list write error: the date 10000-01-01 00:00:00 +0000 is outside the years 1 to 9999");
    // XML cannot carry some characters the binary encoding can.
    for (const QVariant &value : {QVariant("bell \a"), QVariant(QVariantMap{{"bell \a", true}})})
        EXPECT_TRUE(write(value, Format::XML).error().localizedDescription().startsWith(QLatin1String("Property list write error: the string ")));
    EXPECT_TRUE(identical(*readBinary(*write("bell \a", Format::Binary)), "bell \a"));
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
    return bplist(objects, {.offsetSize = 3, .refSize = 3});
}

TEST(NVPropertyList, DepthObjectAndSizeLimitsApplyToEveryEncoding)
{
    for (QByteArray (*make)(int) : {nestedXML, nestedBinary, nestedText}) {
        EXPECT_TRUE(read(make(3), nullptr, Limits{.maxDepth = 3}).ok());
        expectCorrupt(read(make(4), nullptr, Limits{.maxDepth = 3}), "arrays and dictionaries are nested deeper than 3 levels", false);
        // Far deeper than any stack would take if a reader recursed.
        expectCorrupt(read(make(200000)), "arrays and dictionaries are nested deeper than 512 levels", false);
    }
    expectCorrupt(readText(nestedText(600)), at("line 1, column 513: arrays and dictionaries are nested deeper than 512 levels"));

    const QVariant four = QVariantList{"a", "b", "c", "d"};
    for (Format format : {Format::XML, Format::Binary, Format::Text}) {
        const QByteArray data = *write(four, format);
        EXPECT_TRUE(read(data, nullptr, Limits{.maxObjects = 5}).ok());
        expectCorrupt(read(data, nullptr, Limits{.maxObjects = 4}),
                      format == Format::Binary ? "the object table holds 5 objects, more than the limit of 4"
                                               : "the document holds more than 4 values",
                      false);
        // Each reader checks the size itself, not only the detecting one.
        const Limits exact{.maxBytes = data.size()}, under{.maxBytes = data.size() - 1};
        EXPECT_TRUE(readAs(format, data, exact).ok());
        expectCorrupt(readAs(format, data, under), at("byte %1: the document is larger than the limit of %1 bytes (%2 bytes)")
                                               .arg(data.size() - 1).arg(data.size()));
    }
    // Forty arrays, each holding the next one twice: 2^40 values from a few
    // hundred bytes must stop at the object limit.
    std::vector<QByteArray> objects;
    for (int i = 0; i < 40; ++i)
        objects.push_back(bytes({0xA2, i + 1, i + 1}));
    objects.push_back(bytes({0x10, 0x07}));
    expectCorrupt(readBinary(bplist(objects)), "the document expands to more than 4000000 values", false);
}

// ---- Files and string tables ---------------------------------------------------------

TEST(NVPropertyList, FilesAreReplacedWholeAndErrorsNameThePath)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("values.plist");
    ASSERT_TRUE(writeFile(path, sampleValue(), Format::Binary).ok());
    Format detected = Format::Text;
    NVResult<QVariant> back = readFile(path, &detected);
    EXPECT_TRUE(back.ok() && identical(*back, sampleValue()));
    EXPECT_EQ(int(detected), int(Format::Binary));
    // The replacement keeps the old file's permissions and leaves no
    // temporary file behind; an unwritable value leaves the old file whole.
    const QVariant small = QVariantMap{{"k", "v"}};
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0600), 0);
    ASSERT_TRUE(writeFile(path, small, Format::XML).ok());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"values.plist"});
    NVResult<void> failed = writeFile(path, QVariant(QUrl()), Format::XML);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().userInfo().value(NSFilePathErrorKey).toString(), path);
    EXPECT_TRUE(identical(*readFile(path), small));

    // A file of exactly the limit is read; one byte more is refused, named by
    // size and path, whether the size is known beforehand or only from reading.
    const qint64 size = QFileInfo(path).size();
    EXPECT_TRUE(readFile(path, nullptr, Limits{.maxBytes = size}).ok());
    const NVError tooLarge = readFile(path, nullptr, Limits{.maxBytes = size - 1}).error();
    EXPECT_EQ(tooLarge.localizedDescription(), at("byte %1: the document is larger than the limit of %1 bytes (%2 bytes)").arg(size - 1).arg(size));
    EXPECT_EQ(tooLarge.userInfo().value(NSFilePathErrorKey).toString(), path);
    EXPECT_EQ(readFile("/dev/zero", nullptr, Limits{.maxBytes = 16}).error().localizedDescription(),
              at("byte 16: the document is larger than the limit of 16 bytes (17 bytes)"));
    // Failures to open are POSIX errors.
    const QString missing = dir.filePath("missing.plist");
    EXPECT_EQ(readFile(missing).error(), NVError::posix(ENOENT, {{NSFilePathErrorKey, missing}}));
}

// The shipped string tables, entries that are not strings and the values of
// the entries kept here are checked with the localization.
TEST(NVPropertyList, StringsTablesKeepGoodEntriesAroundAMalformedOne)
{
    struct Case { const char *text; QStringList keys; int line; const char *error; };
    const Case cases[] = {
        {"\"a\" = \"1\";\n\"b\" = \"2;\n\"c\" = \"3\";\n\"d\" = \"4\";\n", {"a", "c", "d"}, 3,
         "line 3, column 2: expected ';' after the value of \"b\""},
        // Of two bad entries, the first is reported.
        {"\"a\" = ;\n\"b\" = \"2\";\n\"c\" = = \"3\";\n\"d\" = \"4\";\n", {"b", "d"}, 1, "line 1, column 7: unexpected ';', expected a value"},
    };
    for (const Case &c : cases) {
        const StringsTable table = readStringsTable(QByteArray(c.text));
        EXPECT_EQ(table.entries.keys(), c.keys) << c.text;
        ASSERT_TRUE(table.firstError.has_value()) << c.text;
        EXPECT_EQ(table.firstError->code(), ReadCorruptErrorCode);
        EXPECT_EQ(table.firstError->localizedDescription(), at(c.error));
        EXPECT_EQ(table.firstErrorLine, c.line) << c.text;
    }
}

} // namespace
