// SPDX-License-Identifier: MIT
// The coverage table of a matrix run: call site x fault -> runs and result,
// the count of distinct injections, and the call sites of the library that
// no injection reached.
#ifndef KQTEST_COVERAGE_H
#define KQTEST_COVERAGE_H

#include <string>
#include <vector>

#include "Matrix.h"
#include "Sites.h"

namespace kqtest {

struct ScenarioRun {
    std::string scenario;
    std::vector<Outcome> outcomes;
    double seconds = 0;
};

struct CoverageSummary {
    size_t injections = 0;  // distinct injections that landed
    size_t failed = 0;      // runs that failed, landed or not
    size_t cells = 0;       // distinct (call site, fault) pairs
    size_t sitesReached = 0;
    size_t sitesKnown = 0;  // from the code scan
    size_t indirect = 0;    // reached through a function pointer
    double seconds = 0;
};

// The table as text, its first line the summary; sites may be empty (no
// code scan), and sites are then the offsets the injector reported.
std::string CoverageTable(const std::string& mode, const std::vector<ScenarioRun>& runs,
                          SiteMap& sites, CoverageSummary* summary);

}  // namespace kqtest

#endif
