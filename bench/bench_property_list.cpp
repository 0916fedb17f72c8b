// Times the property-list readers on a realistic update feed of 10,000
// entries and compares the XML read with a bare QXmlStreamReader pass over
// the same bytes (every token read, nothing built), measured in the same run.
// The XML reader should stay within 2.5 times that pass.
//
//   bench_property_list [entries] [repetitions]

#include "FeedGenerator.h"

#include "foundation/NVPropertyList.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTimeZone>
#include <QXmlStreamReader>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

using namespace NVPropertyList;

namespace {

// The fastest of several runs, in nanoseconds.
qint64 fastest(int repetitions, const std::function<void()> &run)
{
    qint64 best = std::numeric_limits<qint64>::max();
    for (int i = 0; i < repetitions; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        best = std::min(best, timer.nsecsElapsed());
    }
    return best;
}

volatile qint64 sink; // keeps the bare pass from being optimised away

void report(const char *what, qint64 nanoseconds, int entries)
{
    std::printf("%-28s %9.2f ms  %7.3f us/entry\n", what, double(nanoseconds) / 1e6, double(nanoseconds) / 1e3 / entries);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int entries = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 9;

    const QVariantList feed = FeedGenerator::generate(entries);
    const QByteArray xml = *write(feed, Format::XML);
    const QByteArray binary = *write(feed, Format::Binary);
    std::printf("feed: %d entries, XML %.2f MB, binary %.2f MB, best of %d runs\n", entries, xml.size() / 1e6,
                binary.size() / 1e6, repetitions);

    // Check once that both encodings read back what was written.
    if (*readXML(xml) != QVariant(feed) || *readBinary(binary) != QVariant(feed)) {
        std::fprintf(stderr, "the feed did not read back unchanged\n");
        return 1;
    }

    const qint64 bare = fastest(repetitions, [&] {
        QXmlStreamReader reader(xml);
        qint64 tokens = 0;
        while (!reader.atEnd()) {
            tokens += reader.readNext();
            tokens += reader.text().size();
        }
        sink = tokens;
    });
    const qint64 xmlRead = fastest(repetitions, [&] { sink = readXML(xml)->toList().size(); });
    const qint64 binaryRead = fastest(repetitions, [&] { sink = readBinary(binary)->toList().size(); });
    const qint64 xmlWrite = fastest(repetitions, [&] { sink = write(feed, Format::XML)->size(); });
    const qint64 binaryWrite = fastest(repetitions, [&] { sink = write(feed, Format::Binary)->size(); });

    report("bare QXmlStreamReader pass", bare, entries);
    report("XML read", xmlRead, entries);
    report("binary read", binaryRead, entries);
    report("XML write", xmlWrite, entries);
    report("binary write", binaryWrite, entries);
    std::printf("XML read / bare pass: %.2fx (target at most 2.5x)\n", double(xmlRead) / double(bare));
    std::printf("binary read / XML read: %.2fx\n", double(binaryRead) / double(xmlRead));
    return 0;
}
