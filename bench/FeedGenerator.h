#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QTimeZone>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

// A realistic update feed of any size, the same for the same seed, shared by
// the benchmarks that read and select feeds: build numbers with dotted
// display names, download, page and release-notes addresses, mostly
// "ReplaceBundle" with some "Installer", system bounds, a few localized
// pages, some pre-releases, minimum base versions and suppressed automatic
// updates, a publication date and a length (keys the updater ignores, as
// makers' feeds carry them), and about one entry in two hundred that is
// invalid (a missing key, a number for a string, a stray non-dictionary).
// Entries come in shuffled order, so the selection cannot profit from an
// ascending feed. Build numbers run from 1000 to 1000 + count - 1.
namespace FeedGenerator {

class Random {
public:
    explicit Random(quint64 seed) : m_state(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    quint32 next()
    {
        m_state = m_state * 6364136223846793005ULL + 1442695040888963407ULL;
        return quint32(m_state >> 33);
    }
    quint32 below(quint32 bound) { return next() % bound; }

private:
    quint64 m_state;
};

inline QVariant makeEntry(int build, Random &random)
{
    const QString number = QString::number(build);
    const QString display = QStringLiteral("%1.%2.%3").arg(build / 1000).arg(build / 100 % 10).arg(build % 100);
    QVariantMap entry{
        {QStringLiteral("BundleVersion"), number},
        {QStringLiteral("BundleShortVersionString"), display},
        {QStringLiteral("InstallationObject"), QStringLiteral("Velkin.app")},
        {QStringLiteral("InstallationMechanism"), random.below(10) == 0 ? QStringLiteral("Installer") : QStringLiteral("ReplaceBundle")},
        {QStringLiteral("DownloadURL"), QStringLiteral("https://updates.velkin.norvane.example/downloads/Velkin-%1.tar.gz").arg(display)},
        {QStringLiteral("ReleaseNotesURL"), QStringLiteral("https://velkin.norvane.example/release-notes/%1.html").arg(number)},
        {QStringLiteral("MinimumSystemVersion"), random.below(20) == 0 ? QStringLiteral("2.99") : QStringLiteral("2.28")},
        {QStringLiteral("PublicationDate"), QDateTime(QDate(2019, 3, 1), QTime(9, 30), QTimeZone::utc()).addSecs(qint64(build) * 3600)},
        {QStringLiteral("Length"), qint64(180'000'000) + qint64(build) * 1024},
    };
    if (random.below(8) == 0) {
        entry.insert(QStringLiteral("DownloadPageURL"),
                     QVariantMap{{QStringLiteral("en"), QStringLiteral("https://velkin.norvane.example/en/download")},
                                 {QStringLiteral("de"), QStringLiteral("https://velkin.norvane.example/de/download")},
                                 {QStringLiteral("fr"), QStringLiteral("https://velkin.norvane.example/fr/download")},
                                 {QStringLiteral("ja"), QStringLiteral("https://velkin.norvane.example/ja/download")}});
    } else {
        entry.insert(QStringLiteral("DownloadPageURL"), QStringLiteral("https://velkin.norvane.example/download"));
    }
    if (random.below(4) == 0)
        entry.insert(QStringLiteral("MaximumSystemVersion"), QStringLiteral("2.50"));
    switch (random.below(16)) {
    case 0: entry.insert(QStringLiteral("ReleaseLifecycle"), QStringLiteral("beta")); break;
    case 1: entry.insert(QStringLiteral("ReleaseLifecycle"), QStringLiteral("release candidate")); break;
    case 2: entry.insert(QStringLiteral("ReleaseLifecycle"), QStringLiteral("release")); break;
    default: break;
    }
    if (random.below(6) == 0)
        entry.insert(QStringLiteral("MinimumBaseVersion"), QString::number(build - 500));
    if (random.below(12) == 0)
        entry.insert(QStringLiteral("SuppressAutoUpdate"), random.below(2) ? QVariant(true) : QVariant(QStringLiteral("YES")));

    switch (random.below(200)) {
    case 0: entry.remove(QStringLiteral("DownloadURL")); break;
    case 1: entry.insert(QStringLiteral("BundleVersion"), qint64(build)); break;
    case 2: return QVariant(number); // not a dictionary at all
    default: break;
    }
    return entry;
}

inline QVariantList generate(int count, quint64 seed = 1)
{
    Random random(seed);
    QVariantList entries;
    entries.reserve(count);
    for (int i = 0; i < count; ++i)
        entries << makeEntry(1000 + i, random);
    // Fisher-Yates with the same generator keeps the feed reproducible.
    for (int i = count - 1; i > 0; --i)
        entries.swapItemsAt(i, qsizetype(random.below(quint32(i + 1))));
    return entries;
}

} // namespace FeedGenerator
