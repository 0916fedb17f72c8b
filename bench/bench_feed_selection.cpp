// Reads and selects from a feed of 10,000 entries, in XML and in binary, and
// prints the time per entry of each step together with two ratios measured
// in the same run:
//   parse + select / parse       (what selection adds; target at most 1.5)
//   XML parse / bare XML reader  (the reader passing over the same bytes and
//                                 building nothing: the practical limit; target
//                                 at most 2.5)
// Each figure is the fastest of several rounds. It never fails the build; a
// ratio above its target is marked in the output.
//
// Usage: bench_feed_selection [entries] [rounds]

#include "FeedGenerator.h"

#include "platform/NVBundle.h"
#include "foundation/NVPropertyList.h"
#include "platform/NVUserDefaults.h"
#include "logging/NVLog.h"
#include "model/NVSUFeed.h"
#include "model/NVSUUpdateSelection.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <limits>
#include <vector>

namespace {

// The fastest time of each step over several rounds. Each step runs its
// rounds on its own after one unmeasured run: a step that follows another
// inherits that one's heap (the bare reader leaves many small blocks that the
// next parse would pay to coalesce), which would skew exactly the ratios this
// program reports. The fastest round is the one least disturbed by other
// processes.
std::vector<double> fastestSeconds(int rounds, const std::vector<std::function<void()>> &steps)
{
    std::vector<double> best(steps.size(), std::numeric_limits<double>::infinity());
    for (size_t i = 0; i < steps.size(); ++i) {
        steps[i]();
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            steps[i]();
            best[i] = std::min(best[i], std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    }
    return best;
}

// Keeps the compiler from dropping work whose result is otherwise unused.
volatile qint64 sink = 0;

void report(const char *name, double seconds, int entries)
{
    std::printf("  %-34s %9.3f ms  %7.3f us/entry\n", name, seconds * 1e3, seconds * 1e6 / entries);
}

void ratio(const char *name, double value, double target)
{
    std::printf("  %-34s %9.2fx   (target <= %.1fx)%s\n", name, value, target, value > target ? "  ABOVE TARGET" : "");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 10000;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 15;

    // The installed version sits in the middle of the feed, so half of the
    // entries are rejected as not newer and half compete.
    QTemporaryDir dir;
    const QString bundle = dir.path() + QStringLiteral("/Velkin.app");
    QDir().mkpath(bundle + QStringLiteral("/Contents"));
    {
        const NVResult<QByteArray> info = NVPropertyList::write(
            QVariantMap{{QStringLiteral("CFBundleVersion"), QString::number(1000 + count / 2)},
                        {QStringLiteral("CFBundleShortVersionString"), QStringLiteral("installed")}},
            NVPropertyList::Format::XML);
        QFile file(bundle + QStringLiteral("/Contents/Info.plist"));
        if (!info || !file.open(QIODevice::WriteOnly) || file.write(*info) != info->size()) {
            std::fprintf(stderr, "cannot write the test bundle\n");
            return 1;
        }
    }
    NVBundle::setMainBundleForTesting(bundle);
    NVUserDefaults defaults(QStringLiteral("bench.velkin.FeedSelection"), dir.path());
    // Debug logging stays off, as for nearly every user; the lines of the
    // always-written log are formatted and dropped instead of reaching the
    // terminal, whose speed is not what is measured here.
    qint64 logLines = 0;
    NVSetConsoleSink([&logLines](const QString &) { ++logLines; });

    const QVariantList feed = FeedGenerator::generate(count);
    const NVResult<QByteArray> xml = NVPropertyList::write(feed, NVPropertyList::Format::XML);
    const NVResult<QByteArray> binary = NVPropertyList::write(feed, NVPropertyList::Format::Binary);
    if (!xml || !binary) {
        std::fprintf(stderr, "cannot encode the feed\n");
        return 1;
    }
    const NVSUSelectionState state{false, true};

    // Check once that every step does what it is measured for.
    const NVResult<QVariantList> fromXML = NVSUFeed::readEntries(*xml);
    const NVResult<QVariantList> fromBinary = NVSUFeed::readEntries(*binary);
    if (!fromXML || !fromBinary || fromXML->size() != count || fromBinary->size() != count) {
        std::fprintf(stderr, "the feed does not read back: %s\n",
                     qUtf8Printable(!fromXML ? fromXML.error().description()
                                             : !fromBinary ? fromBinary.error().description() : QStringLiteral("wrong count")));
        return 1;
    }
    const std::optional<NVSUUpdate> selected = NVSUUpdateSelection::selectUpdateFromArray(*fromXML, state, defaults);
    logLines = 0;
    NVSUUpdateSelection::selectUpdateFromArray(*fromXML, state, defaults);
    const qint64 linesPerSelection = logLines;

    const std::vector<double> times = fastestSeconds(rounds, {
        [&] {
            QXmlStreamReader reader(*xml);
            qint64 tokens = 0;
            // Every token and its text are read, as a parser must, but
            // nothing is kept.
            while (!reader.atEnd()) {
                tokens += reader.readNext();
                tokens += reader.text().size();
            }
            sink = tokens + (reader.hasError() ? 1 : 0);
        },
        [&] { sink = NVSUFeed::readEntries(*xml)->size(); },
        [&] { sink = NVSUFeed::readEntries(*binary)->size(); },
        [&] { sink = NVSUUpdateSelection::selectUpdateFromArray(*fromXML, state, defaults).has_value(); },
        [&] {
            const NVResult<QVariantList> entries = NVSUFeed::readEntries(*xml);
            sink = NVSUUpdateSelection::selectUpdateFromArray(*entries, state, defaults).has_value();
        },
        [&] {
            const NVResult<QVariantList> entries = NVSUFeed::readEntries(*binary);
            sink = NVSUUpdateSelection::selectUpdateFromArray(*entries, state, defaults).has_value();
        },
    });
    const double bareReader = times[0], parseXML = times[1], parseBinary = times[2], selectOnly = times[3],
                 parseSelectXML = times[4], parseSelectBinary = times[5];
    NVSetConsoleSink({});

    std::printf("Feed of %d entries: XML %lld bytes, binary %lld bytes; fastest of %d rounds\n", count,
                static_cast<long long>(xml->size()), static_cast<long long>(binary->size()), rounds);
    std::printf("Selected %s; %lld log lines per selection\n",
                selected ? qUtf8Printable(selected->version().description()) : "nothing",
                static_cast<long long>(linesPerSelection));
    report("bare QXmlStreamReader pass", bareReader, count);
    report("XML parse", parseXML, count);
    report("binary parse", parseBinary, count);
    report("select alone", selectOnly, count);
    report("XML parse + select", parseSelectXML, count);
    report("binary parse + select", parseSelectBinary, count);
    std::printf("Ratios\n");
    ratio("XML parse + select / XML parse", parseSelectXML / parseXML, 1.5);
    ratio("binary parse + select / parse", parseSelectBinary / parseBinary, 1.5);
    ratio("XML parse / bare reader", parseXML / bareReader, 2.5);
    return 0;
}
