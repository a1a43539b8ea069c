// SPDX-License-Identifier: MIT
// Command-line option parsing, kept free of I/O so that it is easy to test.
#ifndef KQSER_TOOL_OPTIONS_H
#define KQSER_TOOL_OPTIONS_H

#include <map>
#include <string>
#include <vector>

namespace kqtool {

struct OptionDef {
    std::string name;  // "--read", "-v"
    bool takesValue;
};

// "--type=CODE --read=N -v": a word with '=' takes a value (what follows the
// '=' names it for the help and the completion).
std::vector<OptionDef> OptionTable(const std::string& text);

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // flags are present with ""

    bool Has(const std::string& name) const { return values.count(name) != 0; }
    std::string Get(const std::string& name, const std::string& fallback = "") const;
};

// Options may come before, between and after positional arguments, as
// "--name value" or "--name=value" (long names may be shortened while they
// stay unambiguous); "--" ends them. A lone "-" is positional. Parsed by the
// C library's getopt_long.
bool ParseArgs(const std::vector<std::string>& argv, const std::vector<OptionDef>& known, Args* out,
               std::string* error);

// Decimal, or hexadecimal with 0x; the whole text must be the number and lie
// in [min, max].
bool ParseNumber(const std::string& text, long long min, long long max, long long* out,
                 std::string* error);

// Finds the subcommand: the first argument that is neither an option nor the
// value of one of the given value-taking options. *index is -1 when there is
// none.
void FindSubcommand(const std::vector<std::string>& argv, const std::vector<OptionDef>& global,
                    int* index);

}  // namespace kqtool

#endif
