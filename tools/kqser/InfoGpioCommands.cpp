// SPDX-License-Identifier: MIT
// info and gpio.
#include <cstdio>
#include <string>

#include "Commands.h"

namespace kqtool {

int RunInfo(const Common& common, const Args& args) {
    int code = kExitOk;
    if (!args.positional.empty()) return Complain(common, "takes no arguments", kExitUsage);
    Session session(common);
    if (!session.Load(&code)) return code;
    const KqLibrary& lib = session.lib();
    const char* note = lib.dllNote();
    std::fprintf(Out(), "library     %s\n", lib.path.c_str());
    std::fprintf(Out(), "DllType     %d\n", lib.dllType());
    std::fprintf(Out(), "DllVersion  %d\n", lib.dllVersion());
    std::fprintf(Out(), "DllNote     %s\n", note != nullptr ? note : "(null)");
    std::fprintf(Out(), "variant     %s\n",
                 lib.silent ? "silent (exports trace_log; -v shows its log lines)"
                            : "console (prints its log lines on standard output)");
    return kExitOk;
}

namespace {

// "1", "0", "high", "low", "on", "off"; numbers up to 255 (non-zero is high).
bool ParseLevel(const std::string& text, int* level) {
    if (text == "high" || text == "on") {
        *level = 1;
        return true;
    }
    if (text == "low" || text == "off") {
        *level = 0;
        return true;
    }
    long long value = 0;
    std::string error;
    if (!ParseNumber(text, 0, 255, &value, &error)) return false;
    *level = static_cast<int>(value);
    return true;
}

}  // namespace

int RunGpio(const Common& common, const Args& args) {
    int code = kExitOk;
    if (args.positional.empty()) {
        return Complain(common, "needs 'read' or 'write SELECTOR LEVEL' (kqser gpio --help)",
                        kExitUsage);
    }
    const std::string action = args.positional[0];
    unsigned char command[2] = {0, 0};
    if (action == "read") {
        if (args.positional.size() != 1)
            return Complain(common, "read takes no arguments", kExitUsage);
    } else if (action == "write") {
        if (args.positional.size() != 3) {
            return Complain(common, "write needs SELECTOR and LEVEL", kExitUsage);
        }
        long long selector = 0;
        std::string error;
        if (!ParseNumber(args.positional[1], 0, 255, &selector, &error)) {
            return Complain(common, "selector: " + error, kExitUsage);
        }
        int level = 0;
        if (!ParseLevel(args.positional[2], &level)) {
            return Complain(common,
                            "level '" + args.positional[2].substr(0, 40) +
                                "' is not 0 to 255, high, low, on or off",
                            kExitUsage);
        }
        command[0] = static_cast<unsigned char>(selector);
        command[1] = static_cast<unsigned char>(level);
    } else {
        return Complain(common, "unknown action '" + action.substr(0, 40) + "' (read or write)",
                        kExitUsage);
    }

    Session session(common);
    if (!session.Start(&code)) return code;
    ISerBase* port = session.manager()->GetSer(nullptr, kGpioTypeCode);
    if (port == nullptr) return Complain(common, "the library has no GPIO port", kExitFailed);
    if (!port->Open(nullptr)) {
        return Complain(common, "cannot open the GPIO port (/dev/gpio)", kExitFailed);
    }
    if (action == "read") {
        unsigned char levels[2] = {0, 0};
        const int n = port->Read(levels, 2, 0);
        port->Close();
        if (n < 0) return Complain(common, "reading the GPIO lines failed", kExitFailed);
        std::fprintf(Out(), "line 18 (selector 3): %u\n", levels[0]);
        std::fprintf(Out(), "line 17 (selector 2): %u\n", levels[1]);
    } else {
        const int n = port->Write(command, 2);
        port->Close();
        if (n < 0) return Complain(common, "writing the GPIO line failed", kExitFailed);
        std::fprintf(Out(), "selector %u -> line %d set %s\n", command[0],
                     GpioLineOfSelector(command[0]), command[1] != 0 ? "high" : "low");
    }
    return kExitOk;
}

}  // namespace kqtool
