#pragma once

#include "BenchReport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

// Google Benchmark set-up shared by the micro-benchmarks: every benchmark runs
// five repetitions and reports their statistics plus the fastest, the one
// least disturbed by other processes; the reporter keeps each benchmark's
// fastest CPU time (which a loaded machine skews less than the wall clock) so
// that the program can print ratios of times measured in the same run. A
// ratio above its target is marked, never fatal.
namespace FastestRuns {

inline double fastest(const std::vector<double> &times) { return *std::min_element(times.begin(), times.end()); }

inline benchmark::internal::Benchmark *configure(benchmark::internal::Benchmark *b)
{
    return b->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)->ComputeStatistics("fastest", fastest);
}

class Reporter : public benchmark::ConsoleReporter {
public:
    // Plain text, so that the output reads the same in a file or a log.
    Reporter() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "fastest")
                m_milliseconds[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
    }

    // The fastest CPU time per iteration of a benchmark, in milliseconds; NaN
    // when it did not run (filtered out).
    double milliseconds(const std::string &name) const
    {
        const auto it = m_milliseconds.find(name);
        return it == m_milliseconds.end() ? std::nan("") : it->second;
    }

    void printRatio(const char *label, const std::string &numerator, const std::string &denominator, double target) const
    {
        const double value = milliseconds(numerator) / milliseconds(denominator);
        if (std::isnan(value))
            return;
        std::printf("  %-34s %9.2fx", label, value);
        if (target > 0)
            std::printf("   (target <= %.1fx)%s", target, value > target ? "  ABOVE TARGET" : "");
        std::printf("\n");
        if (target > 0)
            BenchReport::row(label, BenchReport::figure(milliseconds(numerator), "ms"), BenchReport::figure(milliseconds(denominator), "ms"),
                             value, BenchReport::atMost(target), value <= target);
    }

private:
    std::map<std::string, double> m_milliseconds;
};

} // namespace FastestRuns
