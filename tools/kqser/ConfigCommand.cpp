// config: kqser.conf as the library reads it, and what it does to a port.
#include <cstdio>
#include <cstdlib>

#include "Commands.h"
#include "FieldConfig.h"

namespace kqtool {

namespace {
const char kSysRoot[] = "/sys";
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
        if (!ClassifyDef(args.positional[0], &info, &error)) {
            return Complain(common, error, kExitUsage);
        }
        net = info.portClass == PortClass::kNet;
        target = SerialTargetOf(args.positional[0]);
    }
    const kq::ConfigFile file = kq::ReadConfigFile(kq::ConfigPath(std::getenv("KQSER_CONF")));
    std::fputs(
        ConfigReport(file, args.positional.empty() ? nullptr : &target, net, kSysRoot).c_str(),
        stdout);
    return kExitOk;
}

}  // namespace kqtool
