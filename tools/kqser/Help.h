// SPDX-License-Identifier: MIT
// The help texts of the command table, laid out for the terminal.
#ifndef KQSER_TOOL_HELP_H
#define KQSER_TOOL_HELP_H

#include <string>
#include <vector>

namespace kqtool {

struct CommandDoc {
    std::string name;
    std::string summary;
    std::string help;  // starts with "usage: kqser NAME ..."
};

// The command and its arguments from the help's usage line, up to the first
// optional option: "send DEF HEX...", "bridge DEF --listen [ADDR:]PORT".
std::string CommandSynopsis(const CommandDoc& doc);

// head, the "commands:" list (synopsis and summary), tail; {LIB} in the text
// becomes libPath.
std::string MainHelp(const std::string& head, const std::vector<CommandDoc>& docs,
                     const std::string& tail, const std::string& libPath);

}  // namespace kqtool

#endif
