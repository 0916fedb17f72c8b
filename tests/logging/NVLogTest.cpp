#include "logging/NVLog.h"
#include "logging/NVLogCategory.h"
#include "logging/NVUnifiedLog.h"

#include "support/LogCapture.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

class FakeEnvironment : public NVLogEnvironment {
public:
    bool debug = false;
    QString identifier;
    bool boolForKey(const QString &key) const override { return key == "SoftwareUpdateDebugLogsEnabled" && debug; }
    QString bundleIdentifier() const override { return identifier; }
};

class RecordingBackend : public NVUnifiedLogBackend {
public:
    struct Entry { QString subsystem, category; NVLogType type; QString text; };
    bool debugEnabled = false;
    std::vector<Entry> entries;

    bool isEnabled(const QString &, const QString &, NVLogType type) const override
    {
        return type != NVLogType::Debug || debugEnabled;
    }
    void write(const QString &s, const QString &c, NVLogType t, const QString &text) override
    {
        entries.push_back({s, c, t, text});
    }
};

TEST(NVLog, FailureLinesAreAlwaysWrittenAndDebugLinesFollowTheSettingAtEveryCall)
{
    FakeEnvironment environment;
    NVSetLogEnvironment(&environment);
    LogCapture capture;
    NVSULog("Skipping pre-release version %@.", QStringLiteral("6.0b1"));
    NVSUDebugLog("first %d", 1);
    environment.debug = true;
    NVSUDebugLog("second %d", 2);
    environment.debug = false;
    NVSUDebugLog("third %d", 3);
    EXPECT_EQ(capture.messages(), QStringList({"Software Update: Skipping pre-release version 6.0b1.", "Software Update Debug: second 2"}));
    NVSetLogEnvironment(nullptr);
}

// Date with milliseconds, process name, process and thread identifiers.
TEST(NVLog, ConsoleLinesReachStandardErrorWhole)
{
    testing::internal::CaptureStderr();
    NVSULog("to stderr %@", QStringLiteral("now"));
    const std::string err = testing::internal::GetCapturedStderr();
    const QRegularExpression line(QStringLiteral(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} logging_tests\[\d+:\d+\] Software Update: to stderr now\n$)"));
    EXPECT_TRUE(line.match(QString::fromStdString(err)).hasMatch()) << err;
}

TEST(NVUnifiedLog, PrefixLoggerChoiceAndEnabledTypes)
{
    // The subsystem is fixed on first use, so this test owns its process
    // (each test runs in its own process under CTest).
    FakeEnvironment environment;
    NVSetLogEnvironment(&environment);
    auto backend = std::make_shared<RecordingBackend>();
    NVSetUnifiedLogBackend(backend);

    NVUnifiedLog(false, NVLogType::Default, "installed 6.1");
    NVUnifiedLog(true, NVLogType::Debug, "not enabled");
    backend->debugEnabled = true;
    NVUnifiedLog(true, NVLogType::Debug, "now enabled");

    ASSERT_EQ(backend->entries.size(), 2u);
    EXPECT_EQ(backend->entries[0].text, "6304: installed 6.1");
    EXPECT_EQ(backend->entries[0].category, "default");
    EXPECT_EQ(backend->entries[0].subsystem, "norvane.velkin"); // no bundle identifier
    EXPECT_EQ(backend->entries[1].text, "6304: now enabled");
    EXPECT_EQ(backend->entries[1].category, "debug");

    // Loggers of a category are made on first use.
    NVLogging::LazyLogger lazy(NVConfiguration::Logging::Category::installer);
    EXPECT_FALSE(lazy.logger.has_value());
    EXPECT_EQ(lazy.get().category(), "installer");
    NVSetUnifiedLogBackend(nullptr);
    NVSetLogEnvironment(nullptr);
}

} // namespace
