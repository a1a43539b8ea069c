#include "Options.h"

#include <cerrno>
#include <cstdlib>

namespace kqtool {

namespace {

const OptionDef* Find(const std::vector<OptionDef>& known, const std::string& name) {
    for (const OptionDef& opt : known) {
        if (opt.name == name) return &opt;
    }
    return nullptr;
}

bool LooksLikeOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-';
}

std::string Shown(const std::string& text) {
    return text.size() > 40 ? text.substr(0, 40) + "..." : text;
}

}  // namespace

std::string Args::Get(const std::string& name, const std::string& fallback) const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

bool ParseArgs(const std::vector<std::string>& argv, const std::vector<OptionDef>& known, Args* out,
               std::string* error) {
    Args args;
    bool optionsEnded = false;
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        if (optionsEnded || !LooksLikeOption(arg)) {
            args.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        const OptionDef* opt = Find(known, name);
        if (opt == nullptr) {
            *error = "unknown option '" + Shown(name) + "'";
            return false;
        }
        if (opt->takesValue) {
            if (!inlineValue) {
                if (i + 1 >= argv.size()) {
                    *error = "option " + name + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
        } else if (inlineValue) {
            *error = "option " + name + " takes no value";
            return false;
        }
        args.values[name] = value;
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
        if (!LooksLikeOption(arg)) {
            *index = static_cast<int>(i);
            return;
        }
        const OptionDef* opt = Find(global, arg);
        if (opt != nullptr && opt->takesValue) ++i;
    }
}

}  // namespace kqtool
