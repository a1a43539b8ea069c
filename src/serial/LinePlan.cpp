// SPDX-License-Identifier: MIT
#include "LinePlan_p.h"

#include <vector>

namespace kq {

namespace {

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text.empty() ? "none" : text;
}

}  // namespace

LinePlan PlanLine(const SerialOptions& options, int baud, const LineTiming& line,
                  const std::string& defaultPath, const std::string& sysRoot,
                  const std::string& devRoot) {
    LinePlan plan;
    switch (options.device.kind) {
        case DeviceOption::kName: plan.path = defaultPath; break;
        case DeviceOption::kPath: plan.path = options.device.path; break;
        case DeviceOption::kUsb: {
            const UsbMatch match = MatchUsb(sysRoot, options.device.usb);
            if (match.matches.size() == 1) {
                plan.path = devRoot + "/" + match.matches.front();
            } else {
                plan.why =
                    match.matches.empty()
                        ? "no USB serial line matches; the lines: " + Joined(match.candidates)
                        : std::to_string(match.matches.size()) + " lines match (" +
                              Joined(match.matches) + "): add the serial number or the interface";
            }
            break;
        }
    }
    if (!plan.path.empty()) {
        plan.ttyName = TtyNameOfPath(devRoot, plan.path);
    }
    const std::string dev = devRoot + "/";
    if (plan.ttyName.empty() && options.device.kind == DeviceOption::kName &&
        plan.path.compare(0, dev.size(), dev) == 0) {
        plan.ttyName = plan.path.substr(dev.size());  // not there (yet): by its name
    }
    plan.exclusive = options.exclusive;
    plan.line = line;
    if (options.customBaud && baud > 0 && !InSpeedTable(baud)) {
        plan.customBps = baud;
        plan.line.bps = baud;
    }
    plan.rs485 = options.rs485.mode != Rs485Options::kOff;
    plan.lowLatency = options.lowLatency;
    return plan;
}

GapChoice PlannedGap(const SerialOptions& options, const LinePlan& plan, TtyInfo tty) {
    if (plan.lowLatency && tty.latencyTimerMs > 1) {
        tty.latencyTimerMs = 1;  // what Open sets before it works the gap out
    }
    return GapForLine(options, plan.line, tty);
}

}  // namespace kq
