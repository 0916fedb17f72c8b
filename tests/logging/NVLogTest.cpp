#include "logging/NVLog.h"
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
    bool debugEnabled = false;
    QStringList entries; // "subsystem category: text"

    bool isEnabled(const QString &, const QString &, NVLogType type) const override
    {
        return type != NVLogType::Debug || debugEnabled;
    }
    void write(const QString &subsystem, const QString &category, NVLogType, const QString &text) override
    {
        entries << subsystem + u' ' + category + u':' + u' ' + text;
    }
};

// Console lines carry the date with milliseconds, the process name, and the
// process and thread identifiers.
TEST(NVLog, ConsoleLinesAreWholeAndDebugLinesFollowTheSettingAtEveryCall)
{
    testing::internal::CaptureStderr();
    NVSULog("to stderr %@", QStringLiteral("now"));
    const std::string err = testing::internal::GetCapturedStderr();
    const QRegularExpression line(QStringLiteral(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} logging_tests\[\d+:\d+\] Software Update: to stderr now\n$)"));
    EXPECT_TRUE(line.match(QString::fromStdString(err)).hasMatch()) << err;

    // Failure lines are always written.
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

    // Without a bundle identifier, the subsystem is the maker's.
    EXPECT_EQ(backend->entries, QStringList({"norvane.velkin default: 6304: installed 6.1", "norvane.velkin debug: 6304: now enabled"}));

    NVSetUnifiedLogBackend(nullptr);
    NVSetLogEnvironment(nullptr);
}

} // namespace
