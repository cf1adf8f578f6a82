// One row of the benchmark table that scripts/bench.sh gathers from every benchmark:
// what was measured and its figure, what it is compared with and that figure, and the
// ratio of the two, both measured in the same run. A row is one tab-separated line that
// starts with "ROW"; everything else a benchmark prints is its own detail.
#pragma once

#include <cstdio>
#include <string>

namespace kestrune::bench {

inline void tableRow(const std::string& what, const std::string& figure,
                     const std::string& reference, const std::string& referenceFigure,
                     double ratio) {
    std::printf("ROW\t%s\t%s\t%s\t%s\t%.3f\n", what.c_str(), figure.c_str(), reference.c_str(),
                referenceFigure.c_str(), ratio);
    std::fflush(stdout);
}

// "%.*f <unit>"
inline std::string figure(double value, const char* unit, int decimals = 2) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
    return text;
}

}  // namespace kestrune::bench
