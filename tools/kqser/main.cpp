// kqser: the bench tool for kqSer.so. It loads the library as any host does
// (dlopen, the five entry points, then ISerManager and ISerBase only).
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"
#include "Library.h"
#include "Options.h"
#include "Tool.h"

namespace kqtool {

namespace {

struct Subcommand {
    const char* name;
    int (*run)(const Common&, const Args&);
    std::vector<OptionDef> options;
    const char* help;
};

const std::vector<OptionDef> kGlobalOptions = {
    {"--lib", true}, {"-v", false}, {"--verbose", false}, {"-h", false}, {"--help", false}};

const char kMainHelp[] =
    "kqser: serial lines, network peers and GPIO lines through kqSer.so\n"
    "\n"
    "usage: kqser [--lib PATH] [-v] COMMAND [ARGS...]\n"
    "\n"
    "commands:\n"
    "  info                       the library's path, type, version, note and variant\n"
    "  send DEF HEX...            write bytes, print the reply as hex and ASCII, time it\n"
    "  listen DEF                 print what arrives, with time stamps\n"
    "  term DEF                   interactive terminal; Ctrl-] leaves\n"
    "  gpio read                  sample GPIO lines 18 and 17\n"
    "  gpio write SELECTOR LEVEL  drive one GPIO line\n"
    "  demo                       a Modbus request through the library to simulated meters,\n"
    "                             over a pseudo-terminal and over TCP on 127.0.0.1\n"
    "\n"
    "DEF, the definition string of a port:\n"
    "  ttyUSB0:115200,N,8,1       serial: device, port digit, baud, parity N/O/E/M/S,\n"
    "                             data bits, stop bits 1/1.5/2\n"
    "  192.168.1.50:502           TCP client\n"
    "  u10.0.0.7:4000             UDP, connected to that address\n"
    "  b:3000                     UDP broadcast\n"
    "\n"
    "common options:\n"
    "  --lib PATH    the kqSer.so to load (default: %s)\n"
    "  -v            show the library's log lines (the silent build hands them to kqser;\n"
    "                the console build prints them itself, -v or not)\n"
    "  -h, --help    this help; kqser COMMAND --help for one command\n"
    "\n"
    "exit status: 0 success, 1 the library or a port failed, 2 usage error,\n"
    "             3 no reply (send) or fewer frames than --count (listen)\n";

const std::vector<Subcommand>& Subcommands() {
    static const std::vector<Subcommand> kSubcommands = {
        {"info",
         RunInfo,
         {},
         "usage: kqser info [--lib PATH]\n"
         "\n"
         "Loads the library and prints its path, DllType, DllVersion, DllNote and its variant:\n"
         "silent when it exports trace_log, console otherwise.\n"},
        {"send",
         RunSend,
         {{"--type", true},
          {"--read", true},
          {"--timeout", true},
          {"--repeat", true},
          {"--interval", true}},
         "usage: kqser send DEF HEX... [--type CODE] [--read N] [--timeout MS]\n"
         "                             [--repeat N] [--interval MS]\n"
         "\n"
         "Opens the port, writes the bytes, reads the reply and prints both as hex and ASCII.\n"
         "HEX is pairs of hex digits, with blanks or a 0x prefix allowed between bytes:\n"
         "  kqser send ttyUSB0:9600,N,8,1 \"01 03 00 00 00 02 C4 0B\" --read 9\n"
         "\n"
         "  --type CODE    type code to ask the manager for (default from DEF: serial kind\n"
         "                 from the device name plus the port digit, network 0x200000 + port)\n"
         "  --read N       read up to N bytes (default 256; 0 writes only). A serial reply ends\n"
         "                 at N bytes or 0.2 s of silence, a network reply with its first\n"
         "                 packet: give the exact reply length for a true latency figure\n"
         "  --timeout MS   how long to wait for the reply to begin (default 1000)\n"
         "  --repeat N     N exchanges with a live progress line, then latency min, median,\n"
         "                 p99 and max and the count of exchanges without reply\n"
         "  --interval MS  pause between exchanges (default 0)\n"
         "\n"
         "Each exchange purges the port first, so a late reply is not taken for the next.\n"
         "Exit status 3 when an exchange got no reply. Ctrl-C stops and prints the figures.\n"},
        {"listen",
         RunListen,
         {{"--type", true}, {"--count", true}, {"--timeout", true}},
         "usage: kqser listen DEF [--type CODE] [--count N] [--timeout MS]\n"
         "\n"
         "Opens the port and prints every frame that arrives with the time of day and the\n"
         "seconds since the start, as hex and ASCII. A serial frame ends at 0.2 s of\n"
         "silence; a network frame is one packet.\n"
         "\n"
         "  --type CODE    type code to ask the manager for (default from DEF)\n"
         "  --count N      stop after N frames (exit status 3 if fewer came)\n"
         "  --timeout MS   stop after MS milliseconds\n"
         "Ctrl-C stops.\n"},
        {"term",
         RunTerm,
         {{"--type", true}},
         "usage: kqser term DEF [--type CODE]\n"
         "\n"
         "An interactive terminal: keys go to the port as typed (raw mode: Ctrl-C goes to the\n"
         "device too), what the port receives goes to the screen.\n"
         "Ctrl-] leaves. The terminal is restored on every way out.\n"
         "With standard input from a file or pipe, sends it, shows the answers until 1 s of\n"
         "silence, and ends. A network port is read in turns of 100 ms, and the library\n"
         "logs each turn that brings nothing (-v, or the console build).\n"},
        {"gpio",
         RunGpio,
         {},
         "usage: kqser gpio read\n"
         "       kqser gpio write SELECTOR LEVEL\n"
         "\n"
         "The digital I/O port on /dev/gpio.\n"
         "  read    prints the levels of line 18 and line 17\n"
         "  write   drives a line: SELECTOR 0 or 1 is line 0 or 1, 2 to 255 is line\n"
         "          SELECTOR + 15 (2 is line 17, 3 is line 18); LEVEL 0/low/off or\n"
         "          1/high/on (any non-zero number is high)\n"
         "  kqser gpio write 2 1\n"},
        {"demo",
         RunDemo,
         {},
         "usage: kqser demo [--lib PATH]\n"
         "\n"
         "Runs a simulated Modbus RTU meter on a pseudo-terminal and a Modbus TCP meter on\n"
         "127.0.0.1 (a port the system picks), then walks one \"read holding registers\"\n"
         "request through the library to each: GetSerManager, GetSer, Open, Write, Read,\n"
         "Close, FreeSerManager, showing the library's own log lines at every step.\n"
         "Exit status 0 when every step worked, 1 otherwise.\n"},
    };
    return kSubcommands;
}

const Subcommand* FindCommand(const std::string& name) {
    for (const Subcommand& sub : Subcommands()) {
        if (name == sub.name) return &sub;
    }
    return nullptr;
}

void PrintMainHelp(FILE* out) {
    std::fprintf(out, kMainHelp, DefaultLibraryPath().c_str());
}

void PrintCommandHelp(const Subcommand& sub) {
    std::fputs(sub.help, stdout);
    std::printf("\ncommon options: --lib PATH, -v (kqser --help)\n");
}

}  // namespace

int Main(int argc, char** argv) {
    std::vector<std::string> all(argv + 1, argv + argc);
    int at = -1;
    FindSubcommand(all, kGlobalOptions, &at);
    Common common;

    if (at < 0) {
        Args args;
        std::string error;
        if (!ParseArgs(all, kGlobalOptions, &args, &error))
            return Complain(common, error, kExitUsage);
        if (args.Has("-h") || args.Has("--help")) {
            PrintMainHelp(stdout);
            return kExitOk;
        }
        PrintMainHelp(stderr);
        return Complain(common, "no command given", kExitUsage);
    }
    std::string name = all[static_cast<size_t>(at)];
    all.erase(all.begin() + at);
    if (name == "help") {
        // "kqser help send" is "kqser send --help".
        int topic = -1;
        FindSubcommand(all, kGlobalOptions, &topic);
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
    std::vector<OptionDef> known = kGlobalOptions;
    known.insert(known.end(), sub->options.begin(), sub->options.end());
    Args args;
    std::string error;
    if (!ParseArgs(all, known, &args, &error)) {
        return Complain(common, error + " (kqser " + name + " --help)", kExitUsage);
    }
    if (args.Has("-h") || args.Has("--help")) {
        PrintCommandHelp(*sub);
        return kExitOk;
    }
    common.libPath = args.Has("--lib") ? args.Get("--lib") : DefaultLibraryPath();
    if (common.libPath.empty()) return Complain(common, "--lib needs a path", kExitUsage);
    common.verbose = args.Has("-v") || args.Has("--verbose");
    ShowLibraryLog(common.verbose);
    return sub->run(common, args);
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
