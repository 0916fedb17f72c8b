#pragma once

#include "platform/NVBundle.h"
#include "unarchive/NVSUDMGUnarchiver.h"

#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtEndian>

#include <gtest/gtest.h>

#include <optional>

namespace UnarchiveTest {

// Texts come from the bundle the build made, in English.
inline void useShippedEnglishTables()
{
    NVBundle::setMainBundle(TestSupport::bundlePath());
    NVBundle::setUserLanguagesForTesting({"en"});
}

// What an unarchiver told its delegate, in order.
class RecordingDelegate : public NVSUUnarchiverDelegate {
public:
    struct Event {
        bool finished = false; // else progress
        double progress = 0;
        std::optional<NVError> error;
    };

    void unarchiverProgress(NVSUUnarchiver *, double progress) override { events.push_back({false, progress, {}}); }
    void unarchiverFinishedWithError(NVSUUnarchiver *unarchiver, const std::optional<NVError> &error) override
    {
        events.push_back({true, 0, error});
        if (onFinished)
            onFinished(unarchiver);
    }

    int finishedCount() const { return int(std::count_if(events.begin(), events.end(), [](const Event &e) { return e.finished; })); }
    bool waitUntilFinished() { return TestSupport::waitFor([this] { return finishedCount() > 0; }, std::chrono::seconds(60)); }
    // The outcome, once finished; checks that the delegate heard progress 1.0
    // once, then the outcome once.
    std::optional<NVError> outcome() const
    {
        const bool inOrder = events.size() == 2u && !events[0].finished && events[0].progress == 1.0 && events[1].finished;
        EXPECT_TRUE(inOrder) << events.size() << " callbacks";
        return inOrder ? events[1].error : NVError(QStringLiteral("test"), -1);
    }

    std::vector<Event> events;
    std::function<void(NVSUUnarchiver *)> onFinished;
};

// Waits for the disk-image detaches running in the background; answers
// whether all have ended.
inline bool awaitDetaches()
{
    std::optional<int> stillRunning;
    QObject context;
    NVSUDMGUnarchiver::whenOutstandingDetachesEnd(QDeadlineTimer::Forever, &context, [&](int n) { stillRunning = n; });
    return TestSupport::waitFor([&] { return stillRunning.has_value(); }, std::chrono::seconds(90)) && stillRunning == 0;
}

// Every entry below a folder (type, the mode bits the mask picks, content or
// target), one a line, as a failed comparison can show it.
inline std::string tree(const QString &root, unsigned modeMask = 07777)
{
    const QMap<QString, QString> entries = TestSupport::treeSnapshot(root, modeMask);
    std::string out;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        out += (it.key() + ": " + it.value() + "\n").toStdString();
    return out;
}

// The sample bundle, with a file large enough to span many compression blocks.
inline QString makeBundle(const QString &parent)
{
    return TestSupport::makeSampleBundle(parent, QStringLiteral("Velkin Test [beta].app"), 600000);
}

// Packs a folder with the bundle's release tool; answers its complaint.
inline QString package(const QString &bundle, const QString &format, const QString &archive)
{
    const TestSupport::ProcessResult result = TestSupport::run(
        QStringLiteral(NV_TEST_BUNDLE_DIR "/Contents/MacOS/nvsu-release"), {"package", bundle, "--format", format, "--output", archive});
    return result.exitCode == 0 ? QString() : QString::fromUtf8(result.err + result.out);
}

// ---- hand-made archives -----------------------------------------------------------
// The archive tools refuse to make the hostile archives the tests need, so
// the tests write them byte by byte.

struct Member {
    enum Kind { File, Directory, Symlink, Hardlink };
    Kind kind = File;
    QByteArray name;
    QByteArray content; // the link target for links
};

// Compresses with the system's gzip or bzip2.
inline QByteArray compressed(const QString &tool, const QByteArray &bytes)
{
    QProcess process;
    process.start(tool, {"-c"});
    process.write(bytes);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
}

inline QByteArray octal(quint64 value, int width)
{
    const QByteArray digits = QByteArray::number(value, 8);
    return QByteArray(width - 1 - digits.size(), '0') + digits + '\0';
}

inline QByteArray tarArchive(const QList<Member> &members)
{
    QByteArray out;
    for (const Member &m : members) {
        QByteArray header(512, '\0');
        const auto put = [&header](int offset, const QByteArray &bytes) { header.replace(offset, bytes.size(), bytes); };
        const bool hasData = m.kind == Member::File;
        put(0, m.name.left(100));
        put(100, octal(m.kind == Member::Directory ? 0755 : 0644, 8) + octal(0, 8) + octal(0, 8) + octal(hasData ? m.content.size() : 0, 12)
                     + octal(1700000000, 12) + QByteArray(8, ' ') + "0521"[m.kind]);
        if (m.kind == Member::Symlink || m.kind == Member::Hardlink)
            put(157, m.content.left(100));
        put(257, QByteArray("ustar\0" "00", 8));
        unsigned sum = 0;
        for (const char c : header)
            sum += quint8(c);
        put(148, octal(sum, 7) + ' ');
        out += header + (hasData ? m.content + QByteArray((512 - m.content.size() % 512) % 512, '\0') : QByteArray());
    }
    return out + QByteArray(1024, '\0');
}

// A zip archive of stored members made "on Unix", so that unzip restores
// modes and links. Hard links have no zip form and are left out.
inline QByteArray zipArchive(const QList<Member> &members)
{
    const auto le = [](quint64 value, int bytes) {
        QByteArray out;
        for (int i = 0; i < bytes; ++i)
            out += char((value >> (8 * i)) & 0xFF);
        return out;
    };
    // gzip ends with the CRC-32 of what it compressed, the one zip wants.
    const auto crc32 = [](const QByteArray &data) { return qFromLittleEndian<quint32>(compressed("gzip", data).right(8).constData()); };
    QByteArray local, central;
    int count = 0;
    for (const Member &m : members) {
        if (m.kind == Member::Hardlink)
            continue;
        const QByteArray name = m.kind == Member::Directory ? m.name + '/' : m.name;
        const QByteArray data = m.kind == Member::Directory ? QByteArray() : m.content;
        const quint32 mode = m.kind == Member::Directory ? 040755 : m.kind == Member::Symlink ? 0120777 : 0100644;
        const QByteArray common = le(20, 2) + le(0, 6) + le(0x21, 2) + le(crc32(data), 4) + le(data.size(), 4) + le(data.size(), 4)
            + le(name.size(), 2) + le(0, 2);
        central += le(0x02014b50, 4) + le(0x0314, 2) + common + le(0, 6) + le(quint64(mode) << 16, 4) + le(local.size(), 4) + name;
        local += le(0x04034b50, 4) + common + name + data;
        ++count;
    }
    return local + central + le(0x06054b50, 4) + le(0, 4) + le(count, 2) + le(count, 2) + le(central.size(), 4) + le(local.size(), 4)
        + le(0, 2);
}

} // namespace UnarchiveTest
