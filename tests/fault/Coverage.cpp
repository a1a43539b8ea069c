// SPDX-License-Identifier: MIT
#include "Coverage.h"

#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace kqtest {

namespace {

using interpose::Fn;

struct Cell {
    int runs = 0;
    int failed = 0;
};

std::string Pad(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

std::string CoverageTable(const std::string& mode, const std::vector<ScenarioRun>& runs,
                          SiteMap& sites, CoverageSummary* summary) {
    *summary = CoverageSummary();
    // site label -> fault name -> cell
    std::map<std::string, std::map<std::string, Cell>> table;
    std::set<std::pair<Fn, std::string>> reached;
    std::ostringstream failures;
    std::ostringstream scenarios;
    for (const ScenarioRun& run : runs) {
        size_t landed = 0;
        size_t failed = 0;
        for (const Outcome& o : run.outcomes) {
            const std::string fault = FaultName(o.injection.fn, o.injection.kind);
            std::string where = "(not reached)";
            if (o.landed) {
                const int index = sites.Find(o.injection.fn, o.site);
                const Site& site = sites.sites()[static_cast<size_t>(index)];
                where = site.where;
                reached.insert({site.fn, site.where});
                ++landed;
                Cell& cell =
                    table[std::string(interpose::FnName(o.injection.fn)) + " " + where][fault];
                ++cell.runs;
                cell.failed += o.pass ? 0 : 1;
            }
            if (!o.pass) {
                ++failed;
                failures << "  " << run.scenario << ": " << interpose::FnName(o.injection.fn)
                         << " #" << o.injection.nth << " " << fault << " at " << where << ": "
                         << o.why << "\n";
            }
        }
        summary->injections += landed;
        summary->failed += failed;
        summary->seconds += run.seconds;
        char line[256];
        std::snprintf(line, sizeof line,
                      "  %-28s %5zu runs, %5zu injections landed, %zu failed, %.1f s\n",
                      run.scenario.c_str(), run.outcomes.size(), landed, failed, run.seconds);
        scenarios << line;
    }
    const std::vector<std::pair<Fn, std::string>> known = sites.Lines();
    summary->sitesKnown = known.size();
    for (const auto& r : reached) {
        bool isKnown = false;
        for (const auto& k : known) {
            isKnown = isKnown || k == r;
        }
        if (isKnown) {
            ++summary->sitesReached;
        } else {
            ++summary->indirect;
        }
    }
    for (const auto& row : table) {
        summary->cells += row.second.size();
    }

    std::ostringstream out;
    char head[512];
    std::snprintf(head, sizeof head,
                  "kqSer fault matrix (%s): %zu distinct injections, %zu failed runs; %zu of %zu "
                  "call sites reached (and %zu through function pointers); %zu site x fault "
                  "cells; %.1f s of runs\n",
                  mode.c_str(), summary->injections, summary->failed, summary->sitesReached,
                  summary->sitesKnown, summary->indirect, summary->cells, summary->seconds);
    out << head << "\n";
    out << "Scenarios:\n" << scenarios.str() << "\n";
    out << "Call sites are the library's calls (and tail jumps) through its procedure linkage\n"
           "table to the functions the interposition layer defines, named by source line.\n\n";
    out << Pad("call site", 64) << Pad("fault", 15) << Pad("runs", 6) << "result\n";
    for (const auto& row : table) {
        for (const auto& cell : row.second) {
            out << Pad(row.first, 64) << Pad(cell.first, 15)
                << Pad(std::to_string(cell.second.runs), 6)
                << (cell.second.failed == 0 ? "pass" : "FAIL " + std::to_string(cell.second.failed))
                << "\n";
        }
    }
    out << "\nCall sites no injection reached:\n";
    for (const auto& k : known) {
        if (reached.count(k) == 0) {
            out << "  " << interpose::FnName(k.first) << " " << k.second << "\n";
        }
    }
    const std::string failed = failures.str();
    out << "\nFailed runs:\n" << (failed.empty() ? "  none\n" : failed);
    return out.str();
}

}  // namespace kqtest
