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

class NVUserDefaultsTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString config() const { return dir.path() + "/config"; }
    QString file() const { return config() + u'/' + Domain + ".plist"; }

    QVariantMap onDisk() const
    {
        NVResult<QVariant> read = NVPropertyList::readFile(file());
        return read ? read->toMap() : QVariantMap();
    }
};

TEST_F(NVUserDefaultsTest, ArgumentsBeatTheFileWhichBeatsRegistration)
{
    TestSupport::writeFile(file(), *NVPropertyList::write(QVariantMap{{"Both", "file"}, {"FileOnly", "file"}},
                                                         NVPropertyList::Format::XML));
    NVUserDefaults defaults(Domain, config(),
                            {"velkin-software-update", "x-velkin-software-update:check-manually", "-Both", "argument",
                             "-List", "(a, \"b c\")", "-Broken", "(unclosed", "--not-a-key", "-Dangling"});
    defaults.registerDefaults({{"Both", "registered"}, {"FileOnly", "registered"}, {"RegisteredOnly", "registered"}});

    EXPECT_EQ(defaults.objectForKey("Both"), QVariant("argument"));
    EXPECT_EQ(defaults.objectForKey("FileOnly"), QVariant("file"));
    EXPECT_EQ(defaults.objectForKey("RegisteredOnly"), QVariant("registered"));
    EXPECT_EQ(defaults.objectForKey("List"), QVariant(QVariantList{"a", "b c"}));
    EXPECT_EQ(defaults.objectForKey("Broken"), QVariant("(unclosed")); // taken literally
    EXPECT_FALSE(defaults.objectForKey("-not-a-key").isValid());
    EXPECT_FALSE(defaults.objectForKey("Dangling").isValid());
    EXPECT_FALSE(defaults.objectForKey("Missing").isValid());

    // Writing a key the command line overrides stores it, but the effective
    // value stays the argument's.
    defaults.setObject("written", "Both");
    EXPECT_EQ(defaults.objectForKey("Both"), QVariant("argument"));
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(onDisk().value("Both"), QVariant("written"));
}

TEST_F(NVUserDefaultsTest, TypedGettersConvertLikeThePlatform)
{
    NVUserDefaults defaults(Domain, config());
    defaults.registerDefaults({{"YesString", "YES"}, {"Number", qint64(604800)}, {"NumericString", "  42abc"},
                               {"Array", QVariantList{"1.0"}}, {"Date", QDateTime::currentDateTimeUtc()}});
    EXPECT_TRUE(defaults.boolForKey("YesString"));
    EXPECT_FALSE(defaults.boolForKey("Array"));
    EXPECT_EQ(defaults.integerForKey("NumericString"), 42);
    EXPECT_EQ(defaults.integerForKey("Date"), 0);
    EXPECT_EQ(defaults.stringForKey("Number"), "604800");
    EXPECT_EQ(defaults.stringForKey("Array"), QString());
    EXPECT_TRUE(defaults.arrayForKey("YesString").isEmpty());
}

TEST_F(NVUserDefaultsTest, ObserversFireOncePerRealChange)
{
    NVUserDefaults defaults(Domain, config(), {"exe", "-Shadowed", "argument"});
    QObject context;
    int changes = 0, shadowedChanges = 0;
    defaults.observe("Key", &context, [&] { ++changes; });
    defaults.observe("Shadowed", &context, [&] { ++shadowedChanges; });

    defaults.setObject(qint64(1), "Key");          // unset -> 1
    defaults.setObject(qint64(1), "Key");          // equal: no change
    defaults.setObject(int(1), "Key");             // equal number of another width
    defaults.registerDefaults({{"Key", qint64(9)}}); // hidden behind the stored 1
    defaults.setObject(qint64(2), "Key");          // 1 -> 2
    defaults.removeObject("Key");                  // 2 -> registered 9
    defaults.removeObject("Key");                  // nothing left to remove
    defaults.setObject("value", "Shadowed");       // the argument still wins
    defaults.setObject(qint64(1), "Other");
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(shadowedChanges, 0);
}

TEST_F(NVUserDefaultsTest, SynchronizeSeesAnotherWritersChangesAndNotifies)
{
    NVUserDefaults first(Domain, config());
    NVUserDefaults second(Domain, config());
    QObject context;
    QStringList seen;
    second.observe("Shared", &context, [&] { seen << second.stringForKey("Shared"); });

    first.setObject("one", "Shared");
    ASSERT_TRUE(first.synchronize());
    ASSERT_TRUE(second.synchronize());
    EXPECT_EQ(seen, QStringList{"one"});
    ASSERT_TRUE(second.synchronize()); // nothing new: no second notification
    EXPECT_EQ(seen, QStringList{"one"});

    // A watcher picks up a change made by another writer without an
    // explicit synchronize.
    first.setObject("two", "Shared");
    ASSERT_TRUE(first.synchronize());
    EXPECT_TRUE(TestSupport::waitFor([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen.value(1), "two");
}

TEST_F(NVUserDefaultsTest, RemovalsMergeAndStaleCopiesDoNotResurrectKeys)
{
    NVUserDefaults stale(Domain, config());
    stale.setObject("kept", "A");
    stale.setObject("doomed", "B");
    ASSERT_TRUE(stale.synchronize());

    // Another writer removes B while this instance still holds it.
    {
        NVUserDefaults other(Domain, config());
        other.removeObject("B");
        ASSERT_TRUE(other.synchronize());
    }
    EXPECT_EQ(stale.objectForKey("B"), QVariant("doomed"));
    stale.setObject("new", "C");
    ASSERT_TRUE(stale.synchronize());
    EXPECT_EQ(onDisk(), QVariantMap({{"A", "kept"}, {"C", "new"}}));
    EXPECT_FALSE(stale.objectForKey("B").isValid());
}

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
    const QStringList lines = log.messages();
    ASSERT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.first().contains("was damaged") && lines.first().contains(".corrupt")) << lines.first().toStdString();

    // A truncated file read at start-up is repaired the same way.
    TestSupport::writeFile(file(), QByteArray("bplist00\x01\x02", 10));
    NVUserDefaults later(Domain, config());
    EXPECT_FALSE(later.objectForKey("Early").isValid());
    later.setObject("x", "Fresh");
    ASSERT_TRUE(later.synchronize());
    EXPECT_EQ(onDisk().value("Fresh"), QVariant("x"));
}

TEST_F(NVUserDefaultsTest, LinkedOrUnreadableFilesAreRefusedButSettingsStillWork)
{
    // A link to a file elsewhere must never be written through.
    const QString target = dir.path() + "/elsewhere.plist";
    TestSupport::writeFile(target, *NVPropertyList::write(QVariantMap{{"Foreign", "x"}}, NVPropertyList::Format::XML));
    QDir().mkpath(config());
    ASSERT_TRUE(QFile::link(target, file()));
    const QByteArray before = TestSupport::readFile(target);
    {
        LogCapture log;
        NVUserDefaults defaults(Domain, config());
        EXPECT_FALSE(defaults.objectForKey("Foreign").isValid());
        defaults.setObject("memory", "Key");
        EXPECT_FALSE(defaults.synchronize());
        EXPECT_EQ(defaults.objectForKey("Key"), QVariant("memory"));
        ASSERT_EQ(log.messages().size(), 1);
        EXPECT_TRUE(log.messages().first().contains("symbolic link"));
    }
    EXPECT_EQ(TestSupport::readFile(target), before);

    // A folder where the file should be cannot be read either.
    QFile::remove(file());
    QDir().mkpath(file());
    LogCapture log;
    NVUserDefaults defaults(Domain, config());
    defaults.setObject(true, "Flag");
    EXPECT_FALSE(defaults.synchronize());
    EXPECT_TRUE(defaults.boolForKey("Flag"));
    EXPECT_EQ(log.messages().size(), 1);
}

TEST_F(NVUserDefaultsTest, ConcurrentProcessesWritingDifferentKeysKeepAll)
{
    // Real processes of the updater, each writing its own keys many times
    // while the others do the same.
    const int writers = 4, writes = 15;
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
    const QVariantMap disk = NVPropertyList::readFile(config() + "/norvane.velkin.SoftwareUpdate.plist")->toMap();
    for (int w = 0; w < writers; ++w)
        for (int i = 0; i < writes; ++i)
            EXPECT_EQ(disk.value(QStringLiteral("Writer%1Key%2").arg(w).arg(i)), QVariant(qint64(i))) << w << " " << i;
}

TEST_F(NVUserDefaultsTest, DefaultsCommandReadsWritesAndDeletes)
{
    const QString exe = TestSupport::bundleExecutable();
    QProcessEnvironment env;
    env.insert("XDG_CONFIG_HOME", config());
    auto defaults = [&](const QStringList &args) { return TestSupport::run(exe, QStringList{"defaults"} + args, env); };

    auto written = defaults({"write", "SoftwareUpdateCheckInterval", "-int", "604800"});
    ASSERT_EQ(written.exitCode, 0) << written.err.constData();
    EXPECT_EQ(defaults({"read", "SoftwareUpdateCheckInterval"}).out, "604800\n");
    // The file is XML with typed values, readable by its owner only.
    const QString path = config() + "/norvane.velkin.SoftwareUpdate.plist";
    const QByteArray xml = TestSupport::readFile(path);
    EXPECT_TRUE(xml.contains("<key>SoftwareUpdateCheckInterval</key>\n\t<integer>604800</integer>")) << xml.constData();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    struct Case { QStringList write; const char *read; };
    const Case cases[] = {
        {{"-string", "two words"}, "two words\n"}, {{"-bool", "YES"}, "1\n"}, {{"-float", "2.5"}, "2.5\n"},
        {{"-array", "a", "b c"}, "(\n    a,\n    \"b c\"\n)\n"}, {{"-dict", "k", "v"}, "{\n    k = v;\n}\n"},
        {{"-date", "2100-01-02T03:04:05Z"}, "\"2100-01-02 03:04:05 +0000\"\n"},
        {{"-data", "0a0b"}, "<0a0b>\n"}, {{"(x, y)"}, "(\n    x,\n    y\n)\n"}, {{"plain"}, "plain\n"},
    };
    for (const Case &c : cases) {
        auto w = defaults(QStringList{"write", "Value"} + c.write);
        EXPECT_EQ(w.exitCode, 0) << c.write.join(' ').toStdString() << w.err.constData();
        EXPECT_EQ(defaults({"read", "Value"}).out, QByteArray(c.read)) << c.write.join(' ').toStdString();
    }

    const QStringList failures[] = {
        {"read", "NoSuchKey"}, {"delete", "NoSuchKey"}, {"write", "Bad", "-int", "12abc"}, {"write", "Bad", "-bool", "maybe"},
        {"write", "Bad", "-date", "yesterday"}, {"write", "Bad", "-dict", "odd"}, {"write", "Bad", "-int"},
    };
    for (const QStringList &arguments : failures) {
        const auto failure = defaults(arguments);
        EXPECT_EQ(failure.exitCode, 1) << arguments.join(' ').toStdString();
        EXPECT_FALSE(failure.err.isEmpty());
    }
    EXPECT_TRUE(defaults({"read", "NoSuchKey"}).err.contains("does not exist"));
    EXPECT_NE(defaults({"frobnicate"}).exitCode, 0);

    EXPECT_EQ(defaults({"delete", "Value"}).exitCode, 0);
    EXPECT_EQ(defaults({"read", "Value"}).exitCode, 1);
    EXPECT_EQ(defaults({"read"}).out, "{\n    SoftwareUpdateCheckInterval = 604800;\n}\n");
}

} // namespace
