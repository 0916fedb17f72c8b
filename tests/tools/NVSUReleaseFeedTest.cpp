#include "foundation/NVPropertyList.h"

#include "support/TestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString tool = QStringLiteral(NV_TEST_BUNDLE_DIR "/Contents/MacOS/nvsu-release");

int feed(const QString &path, const QStringList &arguments, QString *errors = nullptr)
{
    const TestSupport::ProcessResult result = TestSupport::run(tool, QStringList{"feed", path} + arguments);
    if (errors)
        *errors = QString::fromUtf8(result.err);
    return result.exitCode;
}

QVariantList readFeed(const QString &path)
{
    NVPropertyList::Format format;
    const auto value = NVPropertyList::readFile(path, &format);
    EXPECT_TRUE(value.ok());
    EXPECT_EQ(format, NVPropertyList::Format::XML);
    return value.ok() ? value->toList() : QVariantList();
}

QStringList entry(const QString &version, const QString &shortVersion, const QString &url)
{
    return {"--version", version, "--short-version", shortVersion, "--download-url", url};
}

TEST(NVSUReleaseFeed, CreatesExtendsAndReplaces)
{
    QTemporaryDir work;
    const QString path = work.filePath("velkin5.plist");
    ASSERT_EQ(feed(path, entry("5100", "5.1", "https://updates.example/Velkin%205.1.dmg")
                             + QStringList{"--release-notes-url", "en=https://notes.example/en.html", "--release-notes-url",
                                           "de=https://notes.example/de.html", "--release-lifecycle", "release candidate",
                                           "--installation-mechanism", "Installer", "--installation-object", "Velkin Installer.app",
                                           "--minimum-system-version", "2.31", "--maximum-system-version", "2.40",
                                           "--minimum-base-version", "5000", "--suppress-auto-update"}),
              0);
    const QVariantMap first = {
        {"BundleVersion", "5100"}, {"BundleShortVersionString", "5.1"}, {"DownloadURL", "https://updates.example/Velkin%205.1.dmg"},
        {"DownloadPageURL", "https://updates.example/Velkin%205.1.dmg"}, {"ReleaseLifecycle", "release candidate"},
        {"ReleaseNotesURL", QVariantMap{{"en", "https://notes.example/en.html"}, {"de", "https://notes.example/de.html"}}},
        {"InstallationMechanism", "Installer"}, {"InstallationObject", "Velkin Installer.app"}, {"MinimumSystemVersion", "2.31"},
        {"MaximumSystemVersion", "2.40"}, {"MinimumBaseVersion", "5000"}, {"SuppressAutoUpdate", true},
    };
    EXPECT_EQ(readFeed(path), QVariantList{first});

    ASSERT_EQ(feed(path, entry("5200", "5.2", "https://updates.example/v.tar.gz") + QStringList{"--download-page-url", "https://velkin.example/"}), 0);
    const QVariantMap second = {
        {"BundleVersion", "5200"}, {"BundleShortVersionString", "5.2"}, {"DownloadURL", "https://updates.example/v.tar.gz"},
        {"DownloadPageURL", "https://velkin.example/"}, {"InstallationMechanism", "ReplaceBundle"}, {"InstallationObject", "Velkin.app"},
    };
    EXPECT_EQ(readFeed(path), QVariantList({first, second}));

    // The same version again replaces its entry where it stands.
    ASSERT_EQ(feed(path, entry("5100", "5.1.1", "https://updates.example/v.zip")), 0);
    const QVariantList updates = readFeed(path);
    ASSERT_EQ(updates.size(), 2);
    EXPECT_EQ(updates[0].toMap().value("BundleShortVersionString"), QVariant("5.1.1"));
    EXPECT_EQ(updates[1].toMap(), second);
}

TEST(NVSUReleaseFeed, RefusesWhatWouldMakeABadFeed)
{
    QTemporaryDir work;
    const QString text = work.filePath("string.plist");
    ASSERT_TRUE(NVPropertyList::writeFile(text, "not a feed", NVPropertyList::Format::XML).ok());
    const QString corrupt = work.filePath("corrupt.plist");
    TestSupport::writeFile(corrupt, "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><dict>");
    const QString fresh = work.filePath("fresh.plist");
    const QStringList plain = entry("1", "1", "https://u.example/a.zip");
    const struct { QString path; QStringList arguments; int exitCode; const char *message; } cases[] = {
        {text, plain, 1, "neither an array nor a dictionary"}, {corrupt, plain, 1, "cannot read the feed"},
        {fresh, entry("1", "1", "a.zip"), 1, "not an absolute URL"},
        {fresh, plain + QStringList{"--installation-mechanism", "replacebundle"}, 1, "ReplaceBundle or Installer"},
        {fresh, plain + QStringList{"--download-page-url", "https://a.example/", "--download-page-url", "https://b.example/"}, 1, "LANG=URL"},
        {fresh, {"--short-version", "1", "--download-url", "https://u.example/a.zip"}, 2, "--version is required"},
    };
    for (const auto &c : cases) {
        const QByteArray before = TestSupport::readFile(c.path);
        QString errors;
        EXPECT_EQ(feed(c.path, c.arguments, &errors), c.exitCode) << c.message;
        EXPECT_TRUE(errors.contains(c.message)) << errors.toStdString();
        // Nothing is written: a new feed is not created, an old one stays as it was.
        EXPECT_EQ(QFile::exists(c.path), c.path != fresh);
        EXPECT_EQ(TestSupport::readFile(c.path), before);
    }
}

} // namespace
