#include "platform/NVBundle.h"
#include "foundation/NVPropertyList.h"
#include "platform/NVTemporaryDirectory.h"

#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Run from its bundle, the updater finds it: the "defaults" command tests
// write under the bundle's identifier. The bundle cache and the fresh reads
// that bypass it are internal; installation reads every bundle anew.
TEST(NVBundle, InfoResourcesAndLocalizations)
{
    EXPECT_EQ(NVBundle::bundleWithPath(TestSupport::bundlePath())->executablePath(), TestSupport::bundleExecutable());
    QTemporaryDir dir;
    const QString path = dir.path() + "/Localized.app";
    TestSupport::writeInfoPlist(path, {{"CFBundleDevelopmentRegion", "de"}});
    TestSupport::writeFile(path + "/Contents/Resources/Window.ui", "<ui/>");
    TestSupport::writeFile(path + "/Contents/Resources/en.lproj/Table.strings", "\"a\" = \"A\";");
    TestSupport::writeFile(path + "/Contents/Resources/de.lproj/Table.strings", "\"a\" = \"Ä\";");
    TestSupport::writeFile(path + "/Contents/Resources/pt_BR.lproj/Table.strings", "");
    const NVBundle *bundle = NVBundle::bundleWithPath(path);
    ASSERT_NE(bundle, nullptr);

    EXPECT_EQ(bundle->localizations(), QStringList({"de", "en", "pt_BR"}));
    // A region's folder for the language with its region; the others are
    // walked through the main bundle by the localization tests.
    EXPECT_EQ(bundle->preferredLocalizationsForLanguages({"fr-FR", "pt-BR"}), QStringList{"pt_BR"});
    EXPECT_EQ(bundle->preferredLocalizationsForLanguages({"fr", "it"}), QStringList{"de"}); // the development region

    EXPECT_EQ(bundle->pathForResource("Window", "ui"), path + "/Contents/Resources/Window.ui");
    EXPECT_EQ(NVBundle::bundleWithPath(dir.path() + "/nonexistent.app"), nullptr);
}

TEST(NVTemporaryDirectory, CreatedPrivateAndReusedButLinksLooseModesAndStrangersAreRefused)
{
    QTemporaryDir dir;
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.path() + "/cache"));
    const QString expected = dir.path() + "/cache/test.velkin.Temp/tmp", parent = QFileInfo(expected).path();
    const QByteArray path = QFile::encodeName(expected);
    NVResult<QString> made = NVTemporaryDirectory::ensure("test.velkin.Temp");
    ASSERT_TRUE(made.ok()) << made.error().localizedDescription().toStdString();
    EXPECT_EQ(*made, expected);
    struct stat st {};
    ASSERT_EQ(::stat(path.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(NVTemporaryDirectory::ensure("test.velkin.Temp").ok());
    EXPECT_FALSE(NVTemporaryDirectory::ensure("../escape").ok());

    // Each step prepares the folder as someone else might have; only root
    // can hand it to another user.
    QDir().mkpath(dir.path() + "/prepared");
    const struct { const char *what; std::function<void()> prepare; } refusals[] = {
        {"a link to a prepared folder", [&] { QDir(expected).removeRecursively(); ASSERT_TRUE(QFile::link(dir.path() + "/prepared", expected)); }},
        {"mode 0755", [&] {
             QFile::remove(expected);
             ASSERT_EQ(::mkdir(path.constData(), 0700), 0);
             ASSERT_EQ(::chmod(path.constData(), 0755), 0);
         }},
        {"the parent a link", [&] { QDir(parent).removeRecursively(); ASSERT_TRUE(QFile::link(dir.path() + "/prepared", parent)); }},
        {"another owner", [&] {
             QFile::remove(parent);
             ASSERT_EQ(::mkdir(QFile::encodeName(parent).constData(), 0700), 0);
             ASSERT_EQ(::mkdir(path.constData(), 0700), 0);
             ASSERT_EQ(::chown(path.constData(), 65534, 65534), 0);
         }},
    };
    for (const auto &r : refusals) {
        if (std::string(r.what) == "another owner" && ::geteuid() != 0)
            break;
        r.prepare();
        const NVResult<QString> result = NVTemporaryDirectory::ensure("test.velkin.Temp");
        ASSERT_FALSE(result.ok()) << r.what;
        EXPECT_TRUE(result.error().localizedDescription().startsWith("The private folder ")) << r.what;
    }
    qunsetenv("XDG_CACHE_HOME");
}

} // namespace
