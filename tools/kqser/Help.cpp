// SPDX-License-Identifier: MIT
#include "Help.h"

namespace kqtool {

std::string CommandSynopsis(const CommandDoc& doc) {
    const std::string line = doc.help.substr(0, doc.help.find('\n'));
    const std::string lead = "usage: kqser ";
    if (line.compare(0, lead.size(), lead) != 0) return doc.name;
    std::string synopsis;
    size_t at = lead.size();
    while (at < line.size()) {
        const size_t end = std::min(line.find(' ', at), line.size());
        const std::string word = line.substr(at, end - at);
        at = end + 1;
        if (word.empty()) continue;
        if (word.compare(0, 2, "[-") == 0) break;
        if (!synopsis.empty()) synopsis += ' ';
        synopsis += word;
    }
    return synopsis;
}

std::string MainHelp(const std::string& head, const std::vector<CommandDoc>& docs,
                     const std::string& tail, const std::string& libPath) {
    const size_t kColumn = 29;
    std::string text = head + "\ncommands:\n";
    for (const CommandDoc& doc : docs) {
        std::string line = "  " + CommandSynopsis(doc);
        if (line.size() + 1 > kColumn) {
            text += line + "\n";
            line.clear();
        }
        line.resize(kColumn, ' ');
        text += line + doc.summary + "\n";
    }
    text += tail;
    const std::string token = "{LIB}";
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
        text.replace(at, token.size(), libPath);
        at += libPath.size();
    }
    return text;
}

}  // namespace kqtool
