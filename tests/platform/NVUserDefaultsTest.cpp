#include "foundation/NVPropertyList.h"
#include "platform/NVUserDefaults.h"

#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const QString Domain = "test.velkin.Defaults";
// The domain the updater's own "defaults" subcommand writes.
const QString UpdaterDomain = "norvane.velkin.SoftwareUpdate";

class NVUserDefaultsTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString config() const { return dir.path() + "/config"; }
    QString file(const QString &domain = Domain) const { return config() + u'/' + domain + ".plist"; }
    QVariantMap onDisk(const QString &domain = Domain) const
    {
        NVResult<QVariant> read = NVPropertyList::readFile(file(domain));
        return read ? read->toMap() : QVariantMap();
    }
    // The updater's "defaults" subcommand on this test's settings.
    TestSupport::ProcessResult defaultsCommand(const QStringList &arguments) const
    {
        QProcessEnvironment environment;
        environment.insert("XDG_CONFIG_HOME", config());
        return TestSupport::run(TestSupport::bundleExecutable(), QStringList{"defaults"} + arguments, environment);
    }
};

TEST_F(NVUserDefaultsTest, ArgumentsBeatTheFileWhichBeatsRegistrationAndObserversHearOnlyRealChanges)
{
    TestSupport::writeFile(file(), *NVPropertyList::write(QVariantMap{{"Both", "file"}, {"FileOnly", "file"}},
                                                         NVPropertyList::Format::XML));
    NVUserDefaults defaults(Domain, config(),
                            {"velkin-software-update", "x-velkin-software-update:check-manually", "-Both", "argument",
                             "-List", "(a, \"b c\")", "-Broken", "(unclosed", "--not-a-key", "-Dangling"});
    QObject context;
    int changes = 0, shadowedChanges = 0;
    defaults.observe("Key", &context, [&] { ++changes; });
    defaults.observe("Both", &context, [&] { ++shadowedChanges; });
    defaults.registerDefaults({{"Both", "registered"}, {"FileOnly", "registered"}, {"RegisteredOnly", "YES"}});

    EXPECT_EQ(defaults.objectForKey("Both"), QVariant("argument"));
    EXPECT_EQ(defaults.objectForKey("FileOnly"), QVariant("file"));
    EXPECT_EQ(defaults.objectForKey("RegisteredOnly"), QVariant("YES"));
    EXPECT_EQ(defaults.objectForKey("List"), QVariant(QVariantList{"a", "b c"}));
    EXPECT_EQ(defaults.objectForKey("Broken"), QVariant("(unclosed")); // taken literally
    for (const char *missing : {"-not-a-key", "Dangling", "Missing"})
        EXPECT_FALSE(defaults.objectForKey(missing).isValid()) << missing;

    // Writing a key the command line overrides stores it, but the effective
    // value stays the argument's, and its observers hear nothing.
    defaults.setObject("written", "Both");
    EXPECT_EQ(defaults.objectForKey("Both"), QVariant("argument"));
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(onDisk().value("Both"), QVariant("written"));

    defaults.setObject(qint64(1), "Key");            // unset -> 1
    defaults.setObject(qint64(1), "Key");            // equal: no change
    defaults.setObject(int(1), "Key");               // equal number of another width
    defaults.registerDefaults({{"Key", qint64(9)}}); // hidden behind the stored 1
    defaults.setObject(qint64(2), "Key");            // 1 -> 2
    defaults.removeObject("Key");                    // 2 -> registered 9
    defaults.removeObject("Key");                    // nothing left to remove
    defaults.setObject(qint64(1), "Other");
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(shadowedChanges, 0);
}

// What another writer stores arrives by itself, once, and what it removed
// is not brought back by an older copy here.
TEST_F(NVUserDefaultsTest, AnotherWritersChangesArriveAndRemovalsStay)
{
    NVUserDefaults first(Domain, config());
    NVUserDefaults second(Domain, config());
    QObject context;
    QStringList seen;
    // An observer may synchronize in turn (the application does, before it
    // tells other processes), also while a re-read notifies it.
    second.observe("Shared", &context, [&] {
        seen << second.stringForKey("Shared");
        EXPECT_TRUE(second.synchronize());
    });
    first.setObject("two", "Shared");
    ASSERT_TRUE(first.synchronize());
    EXPECT_TRUE(TestSupport::waitFor([&] { return seen.size() == 1; }));
    EXPECT_EQ(seen.value(0), "two");
    ASSERT_TRUE(second.synchronize()); // nothing new: no second notification
    EXPECT_EQ(seen.size(), 1);

    first.setObject("doomed", "B");
    ASSERT_TRUE(first.synchronize());
    ASSERT_TRUE(second.synchronize());
    second.removeObject("B");
    ASSERT_TRUE(second.synchronize());
    EXPECT_EQ(first.objectForKey("B"), QVariant("doomed")); // no event loop turn yet
    first.setObject("new", "C");
    ASSERT_TRUE(first.synchronize());
    EXPECT_EQ(onDisk(), QVariantMap({{"Shared", "two"}, {"C", "new"}}));
    EXPECT_FALSE(first.objectForKey("B").isValid());
}

// A file damaged before start-up is checked with the whole application.
TEST_F(NVUserDefaultsTest, CorruptFileIsSetAsideAndRebuiltWithThisRunsWrites)
{
    NVUserDefaults defaults(Domain, config());
    defaults.setObject("first", "Early");
    ASSERT_TRUE(defaults.synchronize());

    // Something damages the file between two writes of this run.
    TestSupport::writeFile(file(), QByteArray("<?xml version=\"1.0\"?><plist><dict><key>Early</key><str"));
    LogCapture log;
    defaults.setObject("second", "Late");
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(onDisk(), QVariantMap({{"Early", "first"}, {"Late", "second"}}));
    EXPECT_TRUE(QFileInfo::exists(file() + ".corrupt"));
    ASSERT_EQ(log.messages().size(), 1) << log.messages().join('\n').toStdString();
    EXPECT_TRUE(log.messages().first().contains("was damaged") && log.messages().first().contains(".corrupt"));
}

// A link to a file elsewhere is never read or written through: the settings
// work in memory, and say so once.
TEST_F(NVUserDefaultsTest, ALinkedFileIsRefusedButSettingsStillWork)
{
    const QString target = dir.path() + "/elsewhere.plist";
    TestSupport::writeFile(target, *NVPropertyList::write(QVariantMap{{"Foreign", "x"}}, NVPropertyList::Format::XML));
    const QByteArray before = TestSupport::readFile(target);
    QDir().mkpath(config());
    ASSERT_TRUE(QFile::link(target, file()));
    LogCapture log;
    NVUserDefaults defaults(Domain, config());
    EXPECT_FALSE(defaults.objectForKey("Foreign").isValid());
    defaults.setObject("memory", "Key");
    EXPECT_FALSE(defaults.synchronize());
    EXPECT_EQ(defaults.objectForKey("Key"), QVariant("memory"));
    ASSERT_EQ(log.messages().size(), 1);
    EXPECT_TRUE(log.messages().first().contains("symbolic link")) << log.messages().first().toStdString();
    EXPECT_EQ(TestSupport::readFile(target), before);
}

// Real processes of the updater's "defaults" command, each writing its own
// keys many times while the others do the same; then reads and deletes.
TEST_F(NVUserDefaultsTest, DefaultsCommandsOfConcurrentProcessesKeepEveryKey)
{
    const int writers = 4, writes = 10;
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int w = 0; w < writers; ++w) {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", config());
        process->setProcessEnvironment(env);
        QStringList script;
        for (int i = 0; i < writes; ++i)
            script << QStringLiteral("\"$0\" defaults write Writer%1Key%2 -int %2 || exit 1").arg(w).arg(i);
        process->start("/bin/bash", {"-c", script.join('\n'), TestSupport::bundleExecutable()});
        processes.push_back(std::move(process));
    }
    for (auto &process : processes) {
        ASSERT_TRUE(process->waitForFinished(120000));
        EXPECT_EQ(process->exitCode(), 0) << process->readAllStandardError().constData();
    }
    const QVariantMap disk = onDisk(UpdaterDomain);
    for (int w = 0; w < writers; ++w)
        for (int i = 0; i < writes; ++i)
            EXPECT_EQ(disk.value(QStringLiteral("Writer%1Key%2").arg(w).arg(i)), QVariant(qint64(i))) << w << " " << i;

    // The file is XML with typed values, readable by its owner only.
    const QByteArray xml = TestSupport::readFile(file(UpdaterDomain));
    EXPECT_TRUE(xml.contains("<key>Writer3Key9</key>\n\t<integer>9</integer>")) << xml.constData();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file(UpdaterDomain)).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Values are read back in the text form.
    const auto written = defaultsCommand({"write", "Value", "-date", "2100-01-02T03:04:05Z"});
    EXPECT_EQ(written.exitCode, 0) << written.err.constData();
    EXPECT_EQ(defaultsCommand({"read", "Value"}).out, "\"2100-01-02 03:04:05 +0000\"\n");
    EXPECT_TRUE(defaultsCommand({"read"}).out.contains("\n    Writer3Key9 = 9;\n"));
    const auto badValue = defaultsCommand({"write", "Bad", "-int", "12abc"});
    EXPECT_EQ(badValue.exitCode, 1);
    EXPECT_FALSE(badValue.err.isEmpty());

    EXPECT_EQ(defaultsCommand({"delete", "Value"}).exitCode, 0);
    const auto deleted = defaultsCommand({"read", "Value"});
    EXPECT_EQ(deleted.exitCode, 1);
    EXPECT_TRUE(deleted.err.contains("does not exist"));
}

} // namespace
