// Reads and selects from a feed of 10,000 entries, in XML and in binary, with
// Google Benchmark, and prints the time of each step together with ratios
// measured in the same run:
//   parse + select / parse       (what selection adds; target at most 1.5)
//   XML parse / bare XML reader  (the reader passing over the same bytes and
//                                 building nothing: the practical limit; target
//                                 at most 2.5)
// Each figure is the fastest of five repetitions; every step repeats on its
// own, so none inherits another's heap (the bare reader leaves many small
// blocks that the next parse would pay to coalesce). It never fails the
// build; a ratio above its target is marked in the output.
//
// Usage: bench_feed_selection [entries] [--benchmark_... options]

#include "FastestRuns.h"
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
#include <cstdio>

namespace {

// One step of the measurement: runs `body` once per iteration.
template <typename Body>
void registerStep(const char *name, Body body)
{
    FastestRuns::configure(benchmark::RegisterBenchmark(name, [body](benchmark::State &state) {
        for (auto _ : state)
            body();
    }));
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 10000;

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
    NVBundle::setMainBundle(bundle);
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

    std::printf("Feed of %d entries: XML %lld bytes, binary %lld bytes\n", count, static_cast<long long>(xml->size()),
                static_cast<long long>(binary->size()));
    std::printf("Selected %s; %lld log lines per selection\n",
                selected ? qUtf8Printable(selected->version().description()) : "nothing",
                static_cast<long long>(linesPerSelection));

    registerStep("bare QXmlStreamReader pass", [&] {
        QXmlStreamReader reader(*xml);
        qint64 tokens = 0;
        // Every token and its text are read, as a parser must, but nothing is kept.
        while (!reader.atEnd()) {
            tokens += reader.readNext();
            tokens += reader.text().size();
        }
        benchmark::DoNotOptimize(tokens);
    });
    registerStep("XML parse", [&] { benchmark::DoNotOptimize(NVSUFeed::readEntries(*xml)); });
    registerStep("binary parse", [&] { benchmark::DoNotOptimize(NVSUFeed::readEntries(*binary)); });
    registerStep("select alone", [&] { benchmark::DoNotOptimize(NVSUUpdateSelection::selectUpdateFromArray(*fromXML, state, defaults)); });
    registerStep("XML parse + select", [&] {
        const NVResult<QVariantList> entries = NVSUFeed::readEntries(*xml);
        benchmark::DoNotOptimize(NVSUUpdateSelection::selectUpdateFromArray(*entries, state, defaults));
    });
    registerStep("binary parse + select", [&] {
        const NVResult<QVariantList> entries = NVSUFeed::readEntries(*binary);
        benchmark::DoNotOptimize(NVSUUpdateSelection::selectUpdateFromArray(*entries, state, defaults));
    });
    FastestRuns::Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    NVSetConsoleSink({});

    std::printf("Ratios of the fastest runs\n");
    reporter.printRatio("XML parse + select / XML parse", "XML parse + select", "XML parse", 1.5);
    reporter.printRatio("binary parse + select / parse", "binary parse + select", "binary parse", 1.5);
    reporter.printRatio("XML parse / bare reader", "XML parse", "bare QXmlStreamReader pass", 2.5);
    benchmark::Shutdown();
    return 0;
}
