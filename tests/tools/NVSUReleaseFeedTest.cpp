#include "foundation/NVPropertyList.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString tool = QStringLiteral(NV_TEST_BUNDLE_DIR "/Contents/MacOS/nvsu-release");

int feed(const QString &path, const QStringList &arguments, QString *errors = nullptr)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(tool, QStringList{QStringLiteral("feed"), path} + arguments);
    if (!process.waitForFinished(60000))
        return -1;
    if (errors)
        *errors = QString::fromUtf8(process.readAllStandardError());
    return process.exitCode();
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QVariant readFeed(const QString &path)
{
    NVPropertyList::Format format;
    const auto value = NVPropertyList::readFile(path, &format);
    EXPECT_TRUE(value.ok());
    EXPECT_EQ(format, NVPropertyList::Format::XML);
    return value.ok() ? value.value() : QVariant();
}

QStringList entry(const char *version, const char *shortVersion, const char *url)
{
    return {QStringLiteral("--version"), QLatin1String(version), QStringLiteral("--short-version"), QLatin1String(shortVersion),
            QStringLiteral("--download-url"), QLatin1String(url)};
}

TEST(NVSUReleaseFeed, CreatesExtendsAndReplaces)
{
    QTemporaryDir work;
    const QString path = work.filePath(QStringLiteral("velkin5.plist"));
    ASSERT_EQ(feed(path, entry("5100", "5.1", "https://updates.example/Velkin%205.1.dmg")
                             + QStringList{QStringLiteral("--release-notes-url"), QStringLiteral("en=https://notes.example/en.html"),
                                           QStringLiteral("--release-notes-url"), QStringLiteral("de=https://notes.example/de.html"),
                                           QStringLiteral("--release-lifecycle"), QStringLiteral("release candidate"),
                                           QStringLiteral("--installation-mechanism"), QStringLiteral("Installer"),
                                           QStringLiteral("--installation-object"), QStringLiteral("Velkin Installer.app"),
                                           QStringLiteral("--minimum-system-version"), QStringLiteral("2.31"),
                                           QStringLiteral("--maximum-system-version"), QStringLiteral("2.40"),
                                           QStringLiteral("--minimum-base-version"), QStringLiteral("5000"),
                                           QStringLiteral("--suppress-auto-update")}),
              0);
    const QVariantMap first = {
        {"BundleVersion", "5100"},
        {"BundleShortVersionString", "5.1"},
        {"DownloadURL", "https://updates.example/Velkin%205.1.dmg"},
        {"DownloadPageURL", "https://updates.example/Velkin%205.1.dmg"},
        {"ReleaseNotesURL", QVariantMap{{"en", "https://notes.example/en.html"}, {"de", "https://notes.example/de.html"}}},
        {"ReleaseLifecycle", "release candidate"},
        {"InstallationMechanism", "Installer"},
        {"InstallationObject", "Velkin Installer.app"},
        {"MinimumSystemVersion", "2.31"},
        {"MaximumSystemVersion", "2.40"},
        {"MinimumBaseVersion", "5000"},
        {"SuppressAutoUpdate", true},
    };
    EXPECT_EQ(readFeed(path), QVariant(QVariantList{first}));

    ASSERT_EQ(feed(path, entry("5200", "5.2", "https://updates.example/v.tar.gz")
                             + QStringList{QStringLiteral("--download-page-url"), QStringLiteral("https://velkin.example/")}),
              0);
    const QVariantMap second = {
        {"BundleVersion", "5200"},
        {"BundleShortVersionString", "5.2"},
        {"DownloadURL", "https://updates.example/v.tar.gz"},
        {"DownloadPageURL", "https://velkin.example/"},
        {"InstallationMechanism", "ReplaceBundle"},
        {"InstallationObject", "Velkin.app"},
    };
    EXPECT_EQ(readFeed(path), QVariant(QVariantList({first, second})));

    // The same version again replaces its entry where it stands.
    ASSERT_EQ(feed(path, entry("5100", "5.1.1", "https://updates.example/v.zip")), 0);
    const QVariantList updates = readFeed(path).toList();
    ASSERT_EQ(updates.size(), 2);
    EXPECT_EQ(updates[0].toMap().value("BundleShortVersionString"), QVariant("5.1.1"));
    EXPECT_EQ(updates[1].toMap(), second);
}

TEST(NVSUReleaseFeed, ABinaryFeedWithOneDictionaryBecomesAnXMLArray)
{
    QTemporaryDir work;
    const QString path = work.filePath(QStringLiteral("velkin5.plist"));
    const QVariantMap old = {{"BundleVersion", "4900"}, {"Unknown", qint64(-1)}};
    ASSERT_FALSE(NVPropertyList::writeFile(path, old, NVPropertyList::Format::Binary).has_value());
    ASSERT_EQ(feed(path, entry("5000", "5.0", "https://updates.example/v.zip")), 0);
    const QVariantList updates = readFeed(path).toList();
    ASSERT_EQ(updates.size(), 2);
    EXPECT_EQ(updates[0].toMap(), old);
    EXPECT_EQ(updates[1].toMap().value("BundleVersion"), QVariant("5000"));
}

TEST(NVSUReleaseFeed, RefusesWhatWouldMakeABadFeed)
{
    QTemporaryDir work;
    const QString text = work.filePath(QStringLiteral("string.plist"));
    ASSERT_FALSE(NVPropertyList::writeFile(text, QStringLiteral("not a feed"), NVPropertyList::Format::XML).has_value());
    const QString corrupt = work.filePath(QStringLiteral("corrupt.plist"));
    {
        QFile file(corrupt);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><dict>");
    }
    const QString fresh = work.filePath(QStringLiteral("fresh.plist"));
    const struct {
        const char *name;
        QString path;
        QStringList arguments;
        int exitCode;
        const char *message;
    } cases[] = {
        {"root is a string", text, entry("1", "1", "https://u.example/a.zip"), 1, "neither an array nor a dictionary"},
        {"unreadable feed", corrupt, entry("1", "1", "https://u.example/a.zip"), 1, "cannot read the feed"},
        {"relative URL", fresh, entry("1", "1", "a.zip"), 1, "not an absolute URL"},
        {"URL with a blank", fresh, entry("1", "1", "https://u.example/a b.zip"), 1, "%20"},
        {"unknown mechanism", fresh, entry("1", "1", "https://u.example/a.zip") + QStringList{"--installation-mechanism", "replacebundle"}, 1,
         "ReplaceBundle or Installer"},
        {"unknown lifecycle", fresh, entry("1", "1", "https://u.example/a.zip") + QStringList{"--release-lifecycle", "Beta"}, 1, "nightly, beta"},
        {"two plain page URLs", fresh,
         entry("1", "1", "https://u.example/a.zip") + QStringList{"--download-page-url", "https://a.example/", "--download-page-url", "https://b.example/"}, 1,
         "LANG=URL"},
        {"no version", fresh, {"--short-version", "1", "--download-url", "https://u.example/a.zip"}, 2, "--version is required"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray before = contents(c.path);
        QString errors;
        EXPECT_EQ(feed(c.path, c.arguments, &errors), c.exitCode);
        EXPECT_TRUE(errors.contains(QLatin1String(c.message))) << errors.toStdString();
        if (c.path == fresh)
            EXPECT_FALSE(QFile::exists(fresh));
        else
            EXPECT_EQ(contents(c.path), before);
    }
}

} // namespace
