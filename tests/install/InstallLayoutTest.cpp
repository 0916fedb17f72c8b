#include "install/NVAuthorization.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

// `cmake --install` lays out the files root relies on, each where the
// updater looks for it, with no write bit for group or others, and the
// polkit action naming the helper by the absolute path compiled in.
TEST(InstallLayoutTest, InstallPutsTheRootFilesWhereTheUpdaterLooks)
{
    QTemporaryDir prefix;
    QProcess cmake;
    cmake.setProcessChannelMode(QProcess::MergedChannels);
    cmake.start(QStringLiteral("cmake"), {QStringLiteral("--install"), QStringLiteral(NV_TEST_BINARY_DIR),
                                          QStringLiteral("--prefix"), prefix.path()});
    ASSERT_TRUE(cmake.waitForFinished(300000));
    ASSERT_EQ(cmake.exitCode(), 0) << cmake.readAll().constData();

    const QString lib = prefix.filePath(QStringLiteral("lib/velkin-software-update/"));
    const QString bundle = lib + QStringLiteral("Velkin Software Update.app/Contents/");
    const QString policy = prefix.filePath(QStringLiteral("share/polkit-1/actions/norvane.velkin.SoftwareUpdate.policy"));
    const bool anchors = !QStringLiteral(NV_TEST_CODE_SIGNING_ANCHORS).isEmpty();
    const std::pair<QString, mode_t> expected[] = {
        {lib + QStringLiteral("nvsu-root-helper"), 0755},
        {lib + QStringLiteral("nvsu-release"), 0755},
        {lib + QStringLiteral("nvsu-exchange"), 0755},
        {lib + QStringLiteral("CodeSigningAnchors.pem"), anchors ? 0644 : 0},
        {bundle + QStringLiteral("MacOS/velkin-software-update"), 0755},
        {bundle + QStringLiteral("MacOS/nvsu-askpass"), 0755},
        {bundle + QStringLiteral("MacOS/nvsu-exchange"), 0755},
        {bundle + QStringLiteral("MacOS/nvsu-root-helper"), 0}, // never in a bundle a user may own
        {bundle + QStringLiteral("Info.plist"), 0644},
        {policy, 0644},
        {prefix.filePath(QStringLiteral("share/applications/norvane.velkin.SoftwareUpdate.desktop")), 0644},
    };
    for (const auto &[path, mode] : expected) {
        SCOPED_TRACE(path.toStdString());
        struct stat info {};
        if (mode == 0) {
            EXPECT_NE(::lstat(QFile::encodeName(path).constData(), &info), 0) << "installed";
            continue;
        }
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &info), 0) << "missing";
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, mode);
        if (::geteuid() == 0) {
            EXPECT_EQ(info.st_uid, 0u);
        }
    }

    QDirIterator all(prefix.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (all.hasNext()) {
        const QString path = all.next();
        EXPECT_FALSE(all.fileInfo().permissions() & (QFileDevice::WriteGroup | QFileDevice::WriteOther)) << path.toStdString();
    }

    // The updater and the polkit action both name the helper by the
    // absolute path compiled in.
    EXPECT_EQ(NVAuthorization::rootHelperPath(), QStringLiteral(NV_SYSTEM_HELPER_DIR "/nvsu-root-helper"));
    EXPECT_TRUE(TestSupport::readFile(policy).contains("<annotate key=\"org.freedesktop.policykit.exec.path\">" NV_SYSTEM_HELPER_DIR "/nvsu-root-helper</annotate>"));

    // The scheme's handler runs the installed updater with the URL; the
    // quotes keep the blanks of the bundle's name in one argument.
    const QByteArray entry = TestSupport::readFile(prefix.filePath(QStringLiteral("share/applications/norvane.velkin.SoftwareUpdate.desktop")));
    EXPECT_TRUE(entry.contains("\nExec=\"" NV_SYSTEM_HELPER_DIR "/Velkin Software Update.app/Contents/MacOS/velkin-software-update\" %u\n"))
        << entry.constData();
    EXPECT_TRUE(entry.contains("\nMimeType=x-scheme-handler/x-velkin-software-update;\n")) << entry.constData();
}
