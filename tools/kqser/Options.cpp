// SPDX-License-Identifier: MIT
#include "Options.h"

#include <getopt.h>

#include <cstring>

namespace kqtool {

namespace {

// getopt_long's codes for the long options: past every char value.
constexpr int kLongBase = 1000;

std::string Shown(const std::string& text) {
    return text.size() > 40 ? text.substr(0, 40) + "..." : text;
}

bool IsLong(const std::string& name) {
    return name.size() > 2 && name.compare(0, 2, "--") == 0;
}

std::string NameOfCode(const std::vector<OptionDef>& known, int code) {
    if (code >= kLongBase && code - kLongBase < static_cast<int>(known.size())) {
        return known[static_cast<size_t>(code - kLongBase)].name;
    }
    return std::string("-") + static_cast<char>(code);
}

// The text before '=' of a failed "--name[=value]" argument.
std::string LongName(const char* arg) {
    const std::string text = arg != nullptr ? arg : "";
    return text.substr(0, text.find('='));
}

// A negative number ("-2") is an argument, not an option: it is hidden from
// getopt_long behind this mark and shown again after.
const char kNumberMark[] = "\x01number:";

bool IsNegativeNumber(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-' &&
           arg.find_first_not_of("0123456789", 1) == std::string::npos;
}

std::string Unmarked(const char* arg) {
    const std::string text = arg != nullptr ? arg : "";
    const size_t n = sizeof kNumberMark - 1;
    return text.compare(0, n, kNumberMark) == 0 ? text.substr(n) : text;
}

}  // namespace

std::string Args::Get(const std::string& name, const std::string& fallback) const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

std::vector<OptionDef> OptionTable(const std::string& text) {
    std::vector<OptionDef> table;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find(' ', at), text.size());
        const std::string word = text.substr(at, end - at);
        at = end + 1;
        if (word.empty()) continue;
        const size_t eq = word.find('=');
        table.push_back({word.substr(0, eq), eq != std::string::npos});
    }
    return table;
}

bool ParseArgs(const std::vector<std::string>& argv, const std::vector<OptionDef>& known, Args* out,
               std::string* error) {
    // Leading '-': positionals come back in order as code 1 (no reordering,
    // whatever POSIXLY_CORRECT says); ':': a missing value is told apart.
    std::string shorts = "-:";
    std::vector<option> longs;
    for (size_t i = 0; i < known.size(); ++i) {
        const OptionDef& opt = known[i];
        const int hasArg = opt.takesValue ? required_argument : no_argument;
        if (IsLong(opt.name)) {
            longs.push_back(
                {opt.name.c_str() + 2, hasArg, nullptr, kLongBase + static_cast<int>(i)});
        } else if (opt.name.size() == 2 && opt.name[0] == '-') {
            shorts += opt.name[1];
            if (opt.takesValue) shorts += ':';
        }
    }
    longs.push_back({nullptr, 0, nullptr, 0});

    std::vector<std::string> copy = argv;
    std::vector<char*> cargv;
    static char program[] = "kqser";
    cargv.push_back(program);
    for (std::string& arg : copy) {
        if (IsNegativeNumber(arg)) arg = kNumberMark + arg;
        cargv.push_back(&arg[0]);
    }
    cargv.push_back(nullptr);
    const int argc = static_cast<int>(cargv.size()) - 1;

    Args args;
    opterr = 0;
    optind = 0;  // GNU: start afresh
    for (;;) {
        const int code = getopt_long(argc, cargv.data(), shorts.c_str(), longs.data(), nullptr);
        if (code == -1) break;
        if (code == 1) {
            args.positional.push_back(Unmarked(optarg));
        } else if (code == ':') {
            *error = "option " + NameOfCode(known, optopt) + " needs a value";
            return false;
        } else if (code == '?') {
            if (optopt >= kLongBase) {
                *error = "option " + NameOfCode(known, optopt) + " takes no value";
            } else if (optopt != 0) {
                *error =
                    "unknown option '-" + Shown(std::string(1, static_cast<char>(optopt))) + "'";
            } else {
                const std::string name = LongName(cargv[static_cast<size_t>(optind - 1)]);
                int matches = 0;
                for (const OptionDef& opt : known) {
                    if (IsLong(opt.name) && opt.name.compare(0, name.size(), name) == 0) ++matches;
                }
                *error =
                    (matches > 1 ? "ambiguous option '" : "unknown option '") + Shown(name) + "'";
            }
            return false;
        } else {
            const std::string name = NameOfCode(known, code);
            args.values[name] = Unmarked(optarg);
        }
    }
    for (int i = optind; i < argc; ++i) {
        args.positional.push_back(Unmarked(cargv[static_cast<size_t>(i)]));
    }
    *out = args;
    return true;
}

bool ParseNumber(const std::string& text, long long min, long long max, long long* out,
                 std::string* error) {
    const std::string shown = "'" + Shown(text) + "'";
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) {
        *error = shown + " is not a number";
        return false;
    }
    unsigned long long value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            *error = shown + " is not a number";
            return false;
        }
        value = value * base + digit;
        if (value > (1ULL << 62)) {
            *error = shown + " is out of range";
            return false;
        }
    }
    const long long result =
        negative ? -static_cast<long long>(value) : static_cast<long long>(value);
    if (result < min || result > max) {
        *error =
            shown + " is out of range (" + std::to_string(min) + " to " + std::to_string(max) + ")";
        return false;
    }
    *out = result;
    return true;
}

void FindSubcommand(const std::vector<std::string>& argv, const std::vector<OptionDef>& global,
                    int* index) {
    *index = -1;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        if (arg == "--") {
            if (i + 1 < argv.size()) *index = static_cast<int>(i + 1);
            return;
        }
        if (arg.size() < 2 || arg[0] != '-' || IsNegativeNumber(arg)) {
            *index = static_cast<int>(i);
            return;
        }
        for (const OptionDef& opt : global) {
            if (opt.name == arg && opt.takesValue) ++i;
        }
    }
}

}  // namespace kqtool
