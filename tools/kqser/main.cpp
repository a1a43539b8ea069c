// SPDX-License-Identifier: MIT
// kqser: the bench and field tool for kqSer.so. It loads the library as any
// host does (dlopen, the five entry points, then ISerManager and ISerBase).
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"
#include "Help.h"
#include "Library.h"
#include "Options.h"
#include "Tool.h"

namespace kqtool {

namespace {

struct Subcommand {
    const char* name;
    int (*run)(const Common&, const Args&);
    const char* options;
    const char* summary;
    const char* help;
};

const Subcommand kSubcommands[] = {
#define KQSER_COMMAND(name, handler, options, summary, help) \
    {#name, handler, options, summary, help},
#include "CommandTable.inc"
};

const char* const kGlobalOptionText =
#define KQSER_GLOBAL_OPTIONS(options) options
#include "CommandTable.inc"
    ;

struct MainHelpParts {
    const char* head;
    const char* tail;
};
const MainHelpParts kMainHelp = {
#define KQSER_MAIN_HELP(head, tail) head, tail
#include "CommandTable.inc"
};

const std::vector<OptionDef>& GlobalOptions() {
    static const std::vector<OptionDef> kGlobal = OptionTable(kGlobalOptionText);
    return kGlobal;
}

const Subcommand* FindCommand(const std::string& name) {
    for (const Subcommand& sub : kSubcommands) {
        if (name == sub.name) return &sub;
    }
    return nullptr;
}

void PrintMainHelp(FILE* out) {
    std::vector<CommandDoc> docs;
    for (const Subcommand& sub : kSubcommands) docs.push_back({sub.name, sub.summary, sub.help});
    std::fputs(MainHelp(kMainHelp.head, docs, kMainHelp.tail, DefaultLibraryPath()).c_str(), out);
}

void PrintCommandHelp(const Subcommand& sub) {
    std::fputs(sub.help, stdout);
    std::printf("\ncommon options: --lib PATH, -v, -q (kqser --help)\n");
}

int PrintVersion(Common* common, const Args& args) {
    std::printf("kqser %s\n", KQSER_VERSION);
    common->libPath = args.Has("--lib") ? args.Get("--lib") : DefaultLibraryPath();
    Session session(*common);
    int code = kExitOk;
    if (!session.Load(&code)) return code;
    std::printf("library %s, DllVersion %d\n", session.lib().path.c_str(),
                session.lib().dllVersion());
    return kExitOk;
}

}  // namespace

int Main(int argc, char** argv) {
    std::vector<std::string> all(argv + 1, argv + argc);
    int at = -1;
    FindSubcommand(all, GlobalOptions(), &at);
    Common common;

    if (at < 0) {
        Args args;
        std::string error;
        if (!ParseArgs(all, GlobalOptions(), &args, &error))
            return Complain(common, error, kExitUsage);
        if (args.Has("-h") || args.Has("--help")) {
            PrintMainHelp(stdout);
            return kExitOk;
        }
        if (args.Has("--version")) return PrintVersion(&common, args);
        PrintMainHelp(stderr);
        return Complain(common, "no command given", kExitUsage);
    }
    std::string name = all[static_cast<size_t>(at)];
    all.erase(all.begin() + at);
    if (name == "help") {
        // "kqser help send" is "kqser send --help".
        int topic = -1;
        FindSubcommand(all, GlobalOptions(), &topic);
        if (topic < 0) {
            PrintMainHelp(stdout);
            return kExitOk;
        }
        name = all[static_cast<size_t>(topic)];
        all = {"--help"};
    }
    const Subcommand* sub = FindCommand(name);
    if (sub == nullptr) {
        const std::string shown = name.size() > 40 ? name.substr(0, 40) + "..." : name;
        return Complain(common, "unknown command '" + shown + "' (kqser --help lists them)",
                        kExitUsage);
    }
    common.command = sub->name;
    std::vector<OptionDef> known = GlobalOptions();
    const std::vector<OptionDef> own = OptionTable(sub->options);
    known.insert(known.end(), own.begin(), own.end());
    Args args;
    std::string error;
    if (!ParseArgs(all, known, &args, &error)) {
        return Complain(common, error + " (kqser " + name + " --help)", kExitUsage);
    }
    if (args.Has("-h") || args.Has("--help")) {
        PrintCommandHelp(*sub);
        return kExitOk;
    }
    if (args.Has("--version")) return PrintVersion(&common, args);
    common.libPath = args.Has("--lib") ? args.Get("--lib") : DefaultLibraryPath();
    if (common.libPath.empty()) return Complain(common, "--lib needs a path", kExitUsage);
    common.verbose = args.Has("-v") || args.Has("--verbose");
    common.quiet = args.Has("-q") || args.Has("--quiet");
    ShowLibraryLog(common.verbose);
    // Standard output is data only: what the library prints there itself
    // goes to standard error instead.
    // With -q they are dropped, as the tool's own banners are.
    if ((common.quiet || args.Has("--raw")) && !SeparateData(common.quiet && !common.verbose)) {
        return Complain(common, "cannot set standard output apart for the data", kExitFailed);
    }
    const int code = sub->run(common, args);
    // Ended by a signal: the status a shell expects (130 for Ctrl-C).
    return g_stopSignal != 0 ? 128 + g_stopSignal : code;
}

}  // namespace kqtool

int main(int argc, char** argv) {
    // Line by line even into a pipe, and in step with the console build's
    // own printf lines (same stdout).
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A peer that went away must not kill the tool in the middle of a write.
    std::signal(SIGPIPE, SIG_IGN);
    kqtool::InstallStopHandlers(kqtool::RestoreTerminalFromSignal);
    return kqtool::Main(argc, argv);
}
