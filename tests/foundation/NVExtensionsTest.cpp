#include "foundation/NVExtensions.h"

#include "support/DeathTest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>


using NVExtensions::pidsOfProcessesWithExecutablePath;
using NVExtensions::rangeOfData;
using NVExtensions::URLFromLazyURLString;
using NVExtensions::URLFromPartiallyEncodedURLString;

namespace {

struct SearchCase { const char *data; const char *needle; NVRange range; NVRange expected; };

TEST(NVExtensions, RangeOfDataFindsTheFirstOccurrenceInsideTheRange)
{
    const NVRange notFound{NVNotFound, 0};
    const SearchCase cases[] = {
        {"abcabc", "ca", {0, 6}, {2, 2}},
        {"abcabc", "ca", {3, 3}, notFound},
        {"abcabc", "abc", {1, 5}, {3, 3}},        // the first match lies before the range
        {"abcabc", "bca", {3, 3}, notFound},      // would end beyond the range
        {"abcabc", "", {100, 5}, notFound},       // an empty needle is never checked against the range
        {"aaab", "aab", {0, 4}, {1, 3}},          // a partial match must not skip the real one
    };
    for (const SearchCase &c : cases) {
        const NVRange found = rangeOfData(QByteArray(c.data), QByteArray(c.needle), c.range);
        EXPECT_EQ(found, c.expected) << c.data << " / " << c.needle << " in " << qPrintable(c.range.description())
                                     << " gave " << qPrintable(found.description());
    }
}

struct BadRange { qint64 size; NVRange range; };

TEST(NVExtensionsDeathTest, RangeOutsideTheDataIsAProgrammingError)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const BadRange cases[] = {
        {6, {6, 0}}, // the location must lie inside the data, even for an empty range
        {6, {5, 2}},
        {6, {2, std::numeric_limits<qint64>::max()}}, // location + length overflows
    };
    for (const BadRange &c : cases) {
        const QByteArray data(c.size, 'a');
        const QString message = QStringLiteral("-[NSData rangeOfData:options:range:]: search range %1 outside receiver's range of bytes {0, %2}")
                                    .arg(c.range.description())
                                    .arg(c.size);
        EXPECT_DEATH(rangeOfData(data, "a", c.range), literalDeathMessage(message)) << qPrintable(c.range.description());
    }
}

TEST(NVExtensions, ProcessesAreFoundByTheirExecutablePathInListingOrderUpToTheCap)
{
    // Children running a private copy of sleep, so that no other process on
    // the machine shares their executable path. The kernel reports the
    // canonical path, so the test asks with that one.
    QTemporaryDir directory;
    const QString executable = QFileInfo(directory.path()).canonicalFilePath() + "/nv-sleeper";
    ASSERT_TRUE(QFile::copy("/bin/sleep", executable));
    ASSERT_TRUE(QFile::setPermissions(executable, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    EXPECT_TRUE(pidsOfProcessesWithExecutablePath(executable, 32).isEmpty());

    std::vector<std::unique_ptr<QProcess>> sleepers; // killed when destroyed
    std::vector<pid_t> started;
    for (int i = 0; i < 34; ++i) {
        sleepers.push_back(std::make_unique<QProcess>());
        sleepers.back()->start(executable, {"60"});
        ASSERT_TRUE(sleepers.back()->waitForStarted(5000));
        started.push_back(pid_t(sleepers.back()->processId()));
    }
    const QList<pid_t> all = pidsOfProcessesWithExecutablePath(executable, 1000);
    std::vector<pid_t> found(all.begin(), all.end());
    std::sort(found.begin(), found.end());
    std::sort(started.begin(), started.end());
    EXPECT_EQ(found, started);

    // The cap keeps the first matches in the order the system lists them.
    EXPECT_EQ(pidsOfProcessesWithExecutablePath(executable, 32), all.first(32));
    EXPECT_TRUE(pidsOfProcessesWithExecutablePath(executable, 0).isEmpty());

    // Another spelling of the same path finds nothing.
    EXPECT_TRUE(pidsOfProcessesWithExecutablePath(QFileInfo(executable).path() + "/./nv-sleeper", 32).isEmpty());
}

// The encoded form of a result, or "nil".
QString encoded(const std::optional<QUrl> &url)
{
    return url ? QString::fromUtf8(url->toEncoded()) : QStringLiteral("nil");
}

TEST(NVExtensions, URLsAreEqualIgnoringOnlyTheirFragments)
{
    const struct { const char *url, *other; bool equal; } cases[] = {
        {"https://h.example/notes.html", "https://h.example/notes.html#fixes", true},
        {"https://h.example/notes.html#a", "https://h.example/notes.html#b", true},
        {"https://h.example/notes.html", "https://h.example/other.html#notes.html", false},
        {"https://h.example/n?lang=en", "https://h.example/n?lang=de#x", false},
        {"https://h.example/n", "http://h.example/n", false},
        {"https://h.example/n", "", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NVExtensions::isEqualIgnoringFragmentToURL(QUrl(c.url), QUrl(c.other)), c.equal) << c.url << " / " << c.other;
}

TEST(NVExtensions, PartlyEncodedStringsGiveOneURLWithOnlyTheLastHashAsFragment)
{
    const struct { const char *string, *url; } cases[] = {
        {"http://h.example/a b%20c", "http://h.example/a%20b%20c"},
        {"http%3A%2F%2Fh.example%2Fa%20b", "http://h.example/a%20b"},
        {"http://h.example/p#one#two", "http://h.example/p%23one#two"},
        {"http://h.example/p%23one%23two", "http://h.example/p%23one#two"},
        {"http://h.example/%7e?q=a&b=%C3%A4 ü", "http://h.example/~?q=a&b=%C3%A4%20%C3%BC"},
        {"http://h.example/100%", "nil"},     // cut-short escape
        {"http://h.example/%zz", "nil"},      // not hexadecimal
        {"http://h.example/%C3%28", "nil"},   // not UTF-8
        {"", "nil"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(encoded(URLFromPartiallyEncodedURLString(QString::fromUtf8(c.string))), c.url) << c.string;
}

TEST(NVExtensions, LazyStringsGetTheSchemeTheyLackAndTheHomeFolder)
{
    const QString home = QString::fromUtf8(QUrl::toPercentEncoding(QDir::homePath(), "/"));
    const struct { const char *string, *prefix, *url; } cases[] = {
        {" \t velkin.example/notes \t", "", "http://velkin.example/notes"},
        {"\xC2\xA0support@velkin.example", "", "mailto:support@velkin.example"},
        {"@velkin.example", "", "http://@velkin.example"},
        {"support@", "", "http://support@"},
        {"velkin.example/x", "https://", "https://velkin.example/x"},
        {"support@velkin.example", "https://", "https://support@velkin.example"},
        {"velkin.example:8080/x", "", "velkin.example:8080/x"},   // the host is taken for a scheme
        {"file:///~/Release Notes.html", "", "file://~/Release%20Notes.html"},
        {"file:///tmp/~/x", "", "file:///tmp/~/x"},
    };
    for (const auto &c : cases) {
        QString expected = QString::fromUtf8(c.url);
        expected.replace(QStringLiteral("file://~"), QStringLiteral("file://") + home);
        EXPECT_EQ(encoded(URLFromLazyURLString(QString::fromUtf8(c.string), QString::fromUtf8(c.prefix))), expected) << c.string;
    }
}

} // namespace
