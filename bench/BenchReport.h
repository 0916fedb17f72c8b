#pragma once

#include <cstdio>
#include <string>

// One row of the table bench/run prints from every benchmark's output: what
// was measured, our figure and the reference's (with their units), the
// ratio, and the target it is held to ("" when it has none). Printed as a
// line of its own that starts with "table|", among the benchmark's own
// lines.
namespace BenchReport {

inline std::string figure(double value, const char *unit)
{
    char text[64];
    std::snprintf(text, sizeof text, value >= 100 ? "%.0f %s" : "%.2f %s", value, unit);
    return text;
}

// "<= 1.2x", ">= 0.9x": a ratio's target.
inline std::string atMost(double ratio)
{
    char text[32];
    std::snprintf(text, sizeof text, "<= %gx", ratio);
    return text;
}
inline std::string atLeast(double ratio)
{
    char text[32];
    std::snprintf(text, sizeof text, ">= %gx", ratio);
    return text;
}

// target: for example "<= 1.2x", ">= 0.9x", "< 60 MB"; met says whether the
// figure meets it.
inline void row(const std::string &measure, const std::string &ours, const std::string &reference, double ratio,
                const std::string &target, bool met)
{
    char ratioText[32] = "";
    if (ratio > 0)
        std::snprintf(ratioText, sizeof ratioText, "%.2fx", ratio);
    std::printf("table|%s|%s|%s|%s|%s|%s\n", measure.c_str(), ours.c_str(), reference.c_str(), ratioText, target.c_str(),
                target.empty() ? "" : (met ? "met" : "MISSED"));
    std::fflush(stdout);
}

} // namespace BenchReport
