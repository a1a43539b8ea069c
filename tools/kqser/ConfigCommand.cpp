// SPDX-License-Identifier: MIT
// config: kqser.conf as the library reads it, and what it does to a port.
#include <cstdio>
#include <cstdlib>

#include "Commands.h"
#include "ConfigHints.h"
#include "FieldConfig.h"
#include "SerialPath.h"

namespace kqtool {

namespace {
// Where the library looks: kqser sees what it sees.
const char kSysRoot[] = "/sys";
const char kDevRoot[] = "/dev";
const char kProcRoot[] = "/proc";
}  // namespace

int RunConfig(const Common& common, const Args& args) {
    if (args.positional.size() > 1) {
        return Complain(common, "takes at most one DEF (kqser config --help)", kExitUsage);
    }
    SerialTarget target;
    bool net = false;
    if (!args.positional.empty()) {
        DefInfo info;
        std::string error;
        LineArg line;
        if (!MapLineArg(args.positional[0], &line, &error)) {
            return Complain(common, error, kExitUsage);
        }
        const std::string def = line.def;
        if (!ClassifyDef(def, &info, &error)) {
            return Complain(common, error, kExitUsage);
        }
        net = info.portClass == PortClass::kNet;
        target = SerialTargetOf(def);
    }
    kq::ConfigFile file = kq::ReadConfigFile(kq::ConfigPath(std::getenv("KQSER_CONF")));
    // A byte-order mark, as editors on other systems write one, is no problem.
    if (file.read && WithoutByteOrderMark(file.text) != file.text) {
        file.problems.clear();
        file.text = WithoutByteOrderMark(file.text);
        file.config = kq::Config::Parse(file.path, file.text, &file.problems);
    }
    std::fputs(
        ConfigReport(file, args.positional.empty() ? nullptr : &target, net, kSysRoot, kDevRoot)
            .c_str(),
        Out());
    // A deploy script gates on the status.
    if (!file.problems.empty() || !ConfigHints(file.text).empty()) {
        std::fflush(Out());
        return Complain(common, file.path + " has problems (listed above)", kExitFailed);
    }
    return kExitOk;
}

int RunPorts(const Common& common, const Args& args) {
    if (!args.positional.empty()) {
        return Complain(common, "takes no arguments (kqser ports --help)", kExitUsage);
    }
    const kq::ConfigFile file = kq::ReadConfigFile(kq::ConfigPath(std::getenv("KQSER_CONF")));
    std::fputs(PortsReport(file.config, kSysRoot, kDevRoot, kProcRoot).c_str(), Out());
    return kExitOk;
}

}  // namespace kqtool
