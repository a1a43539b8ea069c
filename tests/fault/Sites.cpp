// SPDX-License-Identifier: MIT
#include "Sites.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

namespace kqtest {

namespace {

using interpose::Fn;

std::vector<std::string> RunLines(const std::string& command) {
    std::vector<std::string> lines;
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) {
        return lines;
    }
    char buf[4096];
    std::string line;
    while (std::fgets(buf, sizeof buf, out) != nullptr) {
        line += buf;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            lines.push_back(line);
            line.clear();
        }
    }
    if (pclose(out) != 0) {
        lines.clear();
    }
    return lines;
}

std::string Hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// "read@plt" -> read; false for a target that is no such function.
bool PltFn(const std::string& target, Fn* fn) {
    const size_t at = target.find("@plt");
    return at != std::string::npos && at + 4 == target.size() &&
           interpose::FnBySymbol(target.substr(0, at).c_str(), fn);
}

std::string Plain(const std::string& target) {
    const size_t at = target.find("@plt");
    return at == std::string::npos ? target : target.substr(0, at);
}

}  // namespace

bool ParseInsn(const std::string& line, Insn* insn, std::string* function) {
    // A header: hex address, " <", name, ">:".
    const size_t open = line.find(" <");
    if (!line.empty() && line[0] != ' ' && open != std::string::npos && line.size() > 2 &&
        line.compare(line.size() - 2, 2, ">:") == 0) {
        *function = line.substr(open + 2, line.size() - open - 4);
        return false;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos || line.find_first_not_of(' ') == colon) {
        return false;
    }
    char* end = nullptr;
    const unsigned long long addr = std::strtoull(line.c_str(), &end, 16);
    if (end != line.c_str() + colon) {
        return false;
    }
    std::istringstream rest(line.substr(colon + 1));
    Insn got;
    got.addr = addr;
    if (!(rest >> got.mnemonic)) {
        return false;
    }
    const size_t lt = line.rfind('<');
    const size_t gt = line.rfind('>');
    if (lt != std::string::npos && gt != std::string::npos && gt > lt && lt > colon) {
        got.target = line.substr(lt + 1, gt - lt - 1);
    }
    *insn = got;
    return true;
}

bool IsCall(const std::string& m) {
    return m == "call" || m == "callq" || m == "bl" || m == "blx";
}

bool IsJump(const std::string& m) {
    return m == "jmp" || m == "jmpq" || m == "b" || m == "b.w" || m == "b.n";
}

std::string SourceFrame(const std::vector<std::string>& lines) {
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
        const std::string& file = lines[i + 1];
        const size_t src = file.rfind("/src/");
        if (src == std::string::npos) {
            continue;
        }
        std::string where = file.substr(src + 1);
        const size_t blank = where.find(' ');  // " (discriminator 4)"
        if (blank != std::string::npos) {
            where.resize(blank);
        }
        std::string function = lines[i];
        const size_t paren = function.find('(');
        if (paren != std::string::npos) {
            function.resize(paren);
        }
        return where + " " + function;
    }
    return lines.size() >= 2 ? lines[1] + " " + lines[0] : "?";
}

std::string SiteMap::Name(uint64_t addr) {
    return SourceFrame(RunLines(addr2line_ + " -f -C -i -e '" + lib_ + "' " + Hex(addr)));
}

bool SiteMap::Load(const std::string& objdump, const std::string& addr2line,
                   const std::string& lib) {
    addr2line_ = addr2line;
    lib_ = lib;
    sites_.clear();
    byReturn_.clear();
    const std::vector<std::string> lines =
        RunLines(objdump + " -d --no-show-raw-insn '" + lib + "' 2>/dev/null");
    if (lines.empty()) {
        return false;
    }
    // Every call, by the address it returns to: to a function of the layer
    // (its site), or to another function, which may end in a tail jump.
    struct Call {
        uint64_t ret;
        std::string target;
        int site;
    };
    std::vector<Call> calls;
    std::map<std::string, std::vector<int>> tailSitesOf;  // function -> its tail-jump sites
    std::string function;
    bool lastWasCall = false;
    for (const std::string& line : lines) {
        Insn insn;
        if (!ParseInsn(line, &insn, &function)) {
            continue;
        }
        if (lastWasCall) {
            calls.back().ret = insn.addr;
        }
        const bool call = IsCall(insn.mnemonic);
        int site = -1;
        Fn fn;
        if ((call || IsJump(insn.mnemonic)) && PltFn(insn.target, &fn)) {
            sites_.push_back({fn, insn.addr, "", false});
            site = static_cast<int>(sites_.size()) - 1;
            if (!call) {
                tailSitesOf[function].push_back(site);
            }
        }
        lastWasCall = call && !insn.target.empty();
        if (lastWasCall) {
            calls.push_back({0, insn.target, site});
        }
    }
    for (const Call& c : calls) {
        if (c.ret == 0) {
            continue;
        }
        if (c.site >= 0) {
            byReturn_[{static_cast<int>(sites_[c.site].fn), c.ret}] = c.site;
            continue;
        }
        // A call of a function that ends in a tail jump to one of them: the
        // jump's call returns to where that function was called from.
        const auto tails = tailSitesOf.find(Plain(c.target));
        if (tails != tailSitesOf.end()) {
            for (int index : tails->second) {
                byReturn_[{static_cast<int>(sites_[index].fn), c.ret}] = index;
            }
        }
    }
    if (sites_.empty()) {
        return false;
    }
    std::string command = addr2line_ + " -a -f -C -i -e '" + lib_ + "'";
    for (const Site& s : sites_) {
        command += " " + Hex(s.addr);
    }
    // Answers start with the address; the frames of each follow it.
    std::vector<std::vector<std::string>> frames;
    for (const std::string& line : RunLines(command)) {
        if (line.compare(0, 2, "0x") == 0) {
            frames.emplace_back();
        } else if (!frames.empty()) {
            frames.back().push_back(line);
        }
    }
    for (size_t i = 0; i < sites_.size(); ++i) {
        sites_[i].where = i < frames.size() ? SourceFrame(frames[i]) : Hex(sites_[i].addr);
    }
    return true;
}

int SiteMap::Find(Fn fn, uint32_t ret) {
    const auto it = byReturn_.find({static_cast<int>(fn), ret});
    if (it != byReturn_.end()) {
        return it->second;
    }
    // The call instruction ends right before ret.
    sites_.push_back({fn, ret, lib_.empty() ? Hex(ret) : Name(ret - 1), true});
    const int index = static_cast<int>(sites_.size()) - 1;
    byReturn_[{static_cast<int>(fn), ret}] = index;
    return index;
}

std::vector<std::pair<Fn, std::string>> SiteMap::Lines() const {
    std::set<std::pair<Fn, std::string>> lines;
    for (const Site& s : sites_) {
        if (!s.indirect) {
            lines.insert({s.fn, s.where});
        }
    }
    return {lines.begin(), lines.end()};
}

}  // namespace kqtest
