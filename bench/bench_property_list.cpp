// Times the property-list readers and writers on a realistic update feed of
// 10,000 entries with Google Benchmark, and compares the XML read with a bare
// QXmlStreamReader pass over the same bytes (every token read, nothing built),
// measured in the same run. The XML reader should stay within 2.5 times that
// pass.
//
//   bench_property_list [entries] [--benchmark_... options]

#include "FastestRuns.h"
#include "FeedGenerator.h"

#include "foundation/NVPropertyList.h"

#include <QCoreApplication>
#include <QXmlStreamReader>

#include <cstdio>
#include <cstdlib>

using namespace NVPropertyList;

namespace {

QVariantList feed;
QByteArray xml, binary;

void bareXMLPass(benchmark::State &state)
{
    for (auto _ : state) {
        QXmlStreamReader reader(xml);
        qint64 tokens = 0;
        while (!reader.atEnd()) {
            tokens += reader.readNext();
            tokens += reader.text().size();
        }
        benchmark::DoNotOptimize(tokens);
    }
}

void xmlRead(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(readXML(xml));
}

void binaryRead(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(readBinary(binary));
}

void xmlWrite(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(write(feed, Format::XML));
}

void binaryWrite(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(write(feed, Format::Binary));
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    QCoreApplication app(argc, argv);
    const int entries = argc > 1 ? std::atoi(argv[1]) : 10000;

    feed = FeedGenerator::generate(entries);
    xml = *write(feed, Format::XML);
    binary = *write(feed, Format::Binary);
    std::printf("feed: %d entries, XML %.2f MB, binary %.2f MB\n", entries, xml.size() / 1e6, binary.size() / 1e6);
    // Check once that both encodings read back what was written.
    if (*readXML(xml) != QVariant(feed) || *readBinary(binary) != QVariant(feed)) {
        std::fprintf(stderr, "the feed did not read back unchanged\n");
        return 1;
    }

    FastestRuns::configure(benchmark::RegisterBenchmark("bare QXmlStreamReader pass", bareXMLPass));
    FastestRuns::configure(benchmark::RegisterBenchmark("XML read", xmlRead));
    FastestRuns::configure(benchmark::RegisterBenchmark("binary read", binaryRead));
    FastestRuns::configure(benchmark::RegisterBenchmark("XML write", xmlWrite));
    FastestRuns::configure(benchmark::RegisterBenchmark("binary write", binaryWrite));
    FastestRuns::Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("Ratios of the fastest runs\n");
    reporter.printRatio("XML read / bare pass", "XML read", "bare QXmlStreamReader pass", 2.5);
    reporter.printRatio("binary read / XML read", "binary read", "XML read", 0);
    benchmark::Shutdown();
    return 0;
}
