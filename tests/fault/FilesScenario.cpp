// SPDX-License-Identifier: MIT
// The files the library keeps: kqser.conf, read by GetSerManager, and the
// silent build's log-config file, read by GetSerManager and written back by
// FreeSerManager. Three cycles each; after every one the log-config file
// holds its old text or the new one, whole, and no temporary file is left
// once a save has run without a fault.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Scenarios.h"
#include "kqSer.h"

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

using IniFile = CSimpleIniTempl<char, SI_GenericNoCase<char>, SI_ConvertA<char>>;
extern const char* filename;
extern IniFile flogIni;

namespace kqtest {

namespace {

using interpose::Fn;

// Wider than the parser writes it, so that a rewrite is shorter than the old
// text: what is left of the old bytes past the new end shows.
const char kOldText[] =
    "; the trace settings of this device\n"
    "[trace]\n"
    "level        =        3\n"
    "target       =        console\n"
    "\n"
    "[Other]\n"
    "Key          =        value\n";
// The log lines go to a file when the configuration was read: that shows it.
const char kConfText[] = "[net]\nsend_timeout_ms = 1500\n[log]\ntimestamps = off\nto = ";
const char kRouteName[] = "route.log";
const char kLogName[] = "kqser.log.ini";
const char kConfName[] = "kqser.conf";
const char kLinkName[] = "kqser.log.ini.other";

std::string ReadText(const std::string& path, bool* exists) {
    std::ifstream in(path, std::ios::binary);
    *exists = static_cast<bool>(in);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The text the parser writes for kOldText.
std::string Rewritten() {
    IniFile ini(false, false, false);
    ini.LoadData(kOldText, sizeof kOldText - 1);
    std::string text;
    ini.Save(text, true);
    return text;
}

// What is in the folder besides the files the scenario made.
std::vector<std::string> Strays(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && name != kLogName && name != kConfName &&
                name != kLinkName && name.compare(0, sizeof kRouteName - 1, kRouteName) != 0) {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    return names;
}

// The new text, perhaps followed by the blank lines of an in-place save
// whose cut failed: nothing of the old text.
bool IsNew(const std::string& text, const std::string& rewritten) {
    return text.compare(0, rewritten.size(), rewritten) == 0 &&
           text.find_first_not_of('\n', rewritten.size()) == std::string::npos;
}

// The manager lines the route file holds.
size_t ManagerLines(const std::string& path) {
    bool exists = false;
    std::istringstream in(ReadText(path, &exists));
    size_t n = 0;
    std::string line;
    while (std::getline(in, line)) {
        n += line.find("SerManager new: ") != std::string::npos ? 1 : 0;
    }
    return n;
}

void Cycle(Context& ctx, const std::string& path, const std::string& rewritten, int cycle,
           bool withConf) {
    const bool clean = !ctx.Landed();
    const std::string route = ctx.dir() + "/" + kRouteName;
    const size_t before = ManagerLines(route);
    Step get(ctx, "GetSerManager", 2000);
    GetSerManager();
    const bool loadFaulted = get.End();
    // Without a fault the configuration is read and its [log] followed. (A
    // log file that could not be opened is looked for again a second later.)
    if (withConf && clean && !loadFaulted && ManagerLines(route) != before + 1) {
        ctx.findings.Add("cycle %d: no log line in the file kqser.conf names", cycle);
    }
    Step free(ctx, "FreeSerManager", 2000);
    const int saved = FreeSerManager();
    const bool saveFaulted = free.End();

    bool exists = false;
    const std::string text = ReadText(path, &exists);
    if (!exists) {
        ctx.findings.Add("cycle %d: the log-config file is gone", cycle);
    } else if (text != kOldText && !IsNew(text, rewritten)) {
        ctx.findings.Add(
            "cycle %d: the log-config file holds neither its old text nor the new "
            "(%zu bytes)",
            cycle, text.size());
    }
    if (saved != 0 && saved != -1 && saved != -3) {
        ctx.findings.Add("cycle %d: FreeSerManager returned %d", cycle, saved);
    }
    if (saved == 0 && text != rewritten) {
        ctx.findings.Add("cycle %d: FreeSerManager returned 0 and the file is not the new text",
                         cycle);
    }
    const bool faulted = loadFaulted || saveFaulted;
    if (clean && !faulted && saved != 0) {
        ctx.findings.Add("cycle %d: FreeSerManager returned %d without a fault", cycle, saved);
    }
    const std::vector<std::string> strays = Strays(ctx.dir());
    if (!strays.empty() && !faulted) {
        ctx.findings.Add("cycle %d: %s left in the folder", cycle, strays[0].c_str());
    }
}

void Run(Context& ctx, bool linked) {
    const std::string path = ctx.dir() + "/" + kLogName;
    WriteText(path, kOldText);
    if (linked && link(path.c_str(), (ctx.dir() + "/" + kLinkName).c_str()) != 0) {
        ctx.findings.Add("no second link");
        return;
    }
    const std::string conf = ctx.dir() + "/" + kConfName;
    if (!linked) {
        WriteText(conf, kConfText + ctx.dir() + "/" + kRouteName + "\n");
    }
    setenv("KQSER_CONF", linked ? "" : conf.c_str(), 1);
    filename = path.c_str();
    const std::string rewritten = Rewritten();

    ctx.Watch();
    for (int cycle = 1; cycle <= 3; ++cycle) {
        Cycle(ctx, path, rewritten, cycle, !linked);
    }
    ctx.Unwatch();

    bool exists = false;
    if (ReadText(path, &exists) != rewritten) {
        ctx.findings.Add("after three cycles the log-config file is not the new text");
    }
    if (linked && ReadText(ctx.dir() + "/" + kLinkName, &exists) != rewritten) {
        ctx.findings.Add("the file's other link does not show the new text");
    }
    filename = nullptr;
}

void RunPlain(Context& ctx) {
    Run(ctx, false);
}

// A file with a second link is written in place: a rename would cut it off.
void RunLinked(Context& ctx) {
    Run(ctx, true);
}

// A process id that no process has: one that ended.
pid_t EndedProcess() {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid;
}

// The log-config path is a link to a file still to be made, beside a
// temporary file that a killed save left: the save makes the file where the
// link points and removes what the killed one left.
void RunMade(Context& ctx) {
    const std::string store = ctx.dir() + "/store";
    const std::string made = store + "/made.ini";
    const std::string path = ctx.dir() + "/" + kLogName;
    const std::string stale = made + ".kqtmp" + std::to_string(EndedProcess());
    if (mkdir(store.c_str(), 0755) != 0 || symlink("store/made.ini", path.c_str()) != 0) {
        ctx.findings.Add("no link");
        return;
    }
    WriteText(stale, "[half]\n");
    setenv("KQSER_CONF", "", 1);
    filename = path.c_str();
    std::string expected;  // what the parser holds: the file has nothing to add
    flogIni.Save(expected, true);

    ctx.Watch();
    for (int cycle = 1; cycle <= 2; ++cycle) {
        const bool clean = !ctx.Landed();
        GetManager(ctx);
        Step free(ctx, "FreeSerManager", 2000);
        const int saved = FreeSerManager();
        free.End();
        const bool faulted = clean && ctx.Landed();  // in this cycle
        bool exists = false;
        const std::string text = ReadText(made, &exists);
        if (exists && text != expected) {
            ctx.findings.Add("cycle %d: the file made holds %zu bytes, not the parser's %zu", cycle,
                             text.size(), expected.size());
        }
        if (saved == 0 && !exists) {
            ctx.findings.Add("cycle %d: FreeSerManager returned 0, no file made", cycle);
        }
        if (clean && !faulted && saved != 0) {
            ctx.findings.Add("cycle %d: FreeSerManager returned %d without a fault", cycle, saved);
        }
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            ctx.findings.Add("cycle %d: the link is no longer a link", cycle);
        }
    }
    ctx.Unwatch();
    std::vector<std::string> left;
    if (DIR* d = opendir(store.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] != '.' && std::string(e->d_name) != "made.ini") {
                left.push_back(e->d_name);
            }
        }
        closedir(d);
    }
    if (!left.empty()) {
        ctx.findings.Add("%s left beside the file made", left[0].c_str());
    }
    filename = nullptr;
}

}  // namespace

const Scenario kLogConfigMadeScenario = {"log-config made through a link", RunMade, nullptr};
const Scenario kLogConfigScenario = {"log-config and kqser.conf", RunPlain, nullptr};
const Scenario kLogConfigLinkedScenario = {"log-config with two links", RunLinked, nullptr};

}  // namespace kqtest
