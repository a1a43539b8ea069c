// SPDX-License-Identifier: MIT
// The fault matrix over every scenario: each call the library makes in it,
// k = 1..its count, with every fault that fits the call, one run each.
// KQTEST_FAULT_MATRIX=full runs all of them (scripts/ci-extended); otherwise
// a fixed sample runs, in seconds. KQTEST_FAULT_JOBS runs that many at once.
// The table goes to the build tree (fault-coverage.txt, fault-sample.txt).
// KQTEST_FAULT_ONLY=read#3 runs the injections at the third read only, to
// look into one.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Coverage.h"
#include "FaultInjector.h"
#include "Process.h"
#include "Scenarios.h"
#include "kqSer.h"

namespace kqtest {

namespace {

bool Full() {
    const char* mode = std::getenv("KQTEST_FAULT_MATRIX");
    return mode != nullptr && std::string(mode) == "full";
}

int Jobs() {
    const char* jobs = std::getenv("KQTEST_FAULT_JOBS");
    const int n = jobs != nullptr ? std::atoi(jobs) : 0;
    return n > 0 ? n : (Full() ? 2 : 1);
}

FaultInjector& Injector() {
    static FaultInjector* const injector =
        new FaultInjector(reinterpret_cast<const void*>(&GetSerManager));
    return *injector;
}

std::vector<ScenarioRun>& Runs() {
    static std::vector<ScenarioRun> runs;
    return runs;
}

// Writes the table once every scenario has run.
class Report : public ::testing::Environment {
public:
    void TearDown() override {
        if (Runs().empty()) {
            return;
        }
        SiteMap sites;
        if (!sites.Load(KQTEST_OBJDUMP, KQTEST_ADDR2LINE, Injector().ObjectPath())) {
            std::printf("fault matrix: no code scan of %s (%s)\n", Injector().ObjectPath().c_str(),
                        KQTEST_OBJDUMP);
        }
        CoverageSummary summary;
        const std::string mode = Full() ? "full" : "sample";
        const std::string table = CoverageTable(mode, Runs(), sites, &summary);
        const std::string path =
            std::string(KQTEST_FAULT_DIR) + (Full() ? "/fault-coverage.txt" : "/fault-sample.txt");
        std::ofstream(path) << table;
        std::printf("%s", table.substr(0, table.find("\nCall sites are")).c_str());
        std::printf("\nTable: %s\n", path.c_str());
    }
};

::testing::Environment* const g_report = ::testing::AddGlobalTestEnvironment(new Report());

void RunMatrix(const Scenario& scenario) {
    FaultInjector& injector = Injector();
    ASSERT_TRUE(injector.ok()) << "the library's code is not found";
    const double start = NowMs();
    Runner runner(injector, Jobs());
    if (scenario.warmUp) {
        runner.WarmUp(scenario);
    }
    const Outcome clean = runner.Count(scenario);
    ASSERT_TRUE(clean.pass) << scenario.name << " without a fault: " << clean.why;

    std::vector<Injection> plan = Plan(clean.calls, scenario.keep);
    const char* only = std::getenv("KQTEST_FAULT_ONLY");
    if (only != nullptr) {
        std::vector<Injection> some;
        for (const Injection& in : plan) {
            if (std::string(interpose::FnName(in.fn)) + "#" + std::to_string(in.nth) == only) {
                some.push_back(in);
            }
        }
        plan = some;
    } else if (!Full()) {
        // Every seventh, from the first: each call kind of a scenario comes
        // up in turn, and the run stays short.
        plan = Sample(plan, 7, 6);
    }
    ScenarioRun run;
    run.scenario = scenario.name;
    run.outcomes = runner.RunAll(scenario, plan, clean.growth);
    run.seconds = (NowMs() - start) / 1000;
    size_t failed = 0;
    std::string first;
    for (const Outcome& o : run.outcomes) {
        if (!o.pass && failed++ < 10) {
            first += std::string("\n  ") + interpose::FnName(o.injection.fn) + " #" +
                     std::to_string(o.injection.nth) + " " +
                     FaultName(o.injection.fn, o.injection.kind) + ": " + o.why;
        }
    }
    Runs().push_back(run);
    EXPECT_EQ(failed, 0u) << failed << " of " << run.outcomes.size() << " runs failed:" << first;
}

TEST(FaultMatrix, SerialPort) {
    RunMatrix(kSerialScenario);
}

TEST(FaultMatrix, SerialPortWithTimingOptions) {
    RunMatrix(kSerialTimingScenario);
}

TEST(FaultMatrix, SerialPortThroughALinkExclusiveAtACustomSpeed) {
    RunMatrix(kSerialLineScenario);
}

TEST(FaultMatrix, SerialPortWithRs485ByTheDriverAndLowLatency) {
    RunMatrix(kSerialRs485Scenario);
}

TEST(FaultMatrix, SerialPortWithRs485ByRts) {
    RunMatrix(kSerialRtsScenario);
}

TEST(FaultMatrix, TcpPortWithReconnect) {
    RunMatrix(kTcpScenario);
}

TEST(FaultMatrix, TcpPortWithUnboundedSendsAndCapture) {
    RunMatrix(kTcpOptionsScenario);
}

TEST(FaultMatrix, UdpPort) {
    RunMatrix(kUdpScenario);
}

TEST(FaultMatrix, GpioPort) {
    RunMatrix(kGpioScenario);
}

TEST(FaultMatrix, SocketHandleServerAndClient) {
    RunMatrix(kSocketHandleScenario);
}

TEST(FaultMatrix, LogConfigAndConfigFiles) {
    RunMatrix(kLogConfigScenario);
}

TEST(FaultMatrix, LogConfigFileWithTwoLinks) {
    RunMatrix(kLogConfigLinkedScenario);
}

TEST(FaultMatrix, LogConfigFileMadeThroughALink) {
    RunMatrix(kLogConfigMadeScenario);
}

TEST(FaultMatrix, SerialPortWithLogAndCaptureFiles) {
    RunMatrix(kLogFileScenario);
}

TEST(FaultMatrix, SerialPortWithLogToStandardError) {
    RunMatrix(kStderrScenario);
}

TEST(FaultMatrix, SerialPortWithLogToStandardErrorInAFile) {
    RunMatrix(kStderrFileScenario);
}

TEST(FaultMatrix, SerialPortWithLogToSyslog) {
    RunMatrix(kSyslogScenario);
}

}  // namespace

}  // namespace kqtest
