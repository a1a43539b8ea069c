// SPDX-License-Identifier: MIT
// The library's call sites of the functions the interposition layer stands
// in front of, read from its code: every call (and tail jump) to one of them
// through the procedure linkage table, named by source line with the
// debugging information. The fault injector reports where a call returns
// to; this maps that back to the site.
#ifndef KQTEST_SITES_H
#define KQTEST_SITES_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Interpose.h"

namespace kqtest {

// One instruction line of objdump -d: "  1234:\tcall   1030 <read@plt>".
struct Insn {
    uint64_t addr = 0;
    std::string mnemonic;
    std::string target;  // the symbol in <...> at the end, "" when none
};

// An instruction line, or a function header ("0000000000001230 <name>:"),
// which sets *function; false for any other line.
bool ParseInsn(const std::string& line, Insn* insn, std::string* function);
// call, bl, blx: the call returns to the next instruction. jmp, b, b.w: a tail call.
bool IsCall(const std::string& mnemonic);
bool IsJump(const std::string& mnemonic);

// The first frame of an addr2line -f -i answer that lies in the tree's src/
// folder, as "src/serial/LineIo.cpp:34 kq::LineRead": lines alternate
// function and file:line, innermost (the C library's inline wrappers) first.
std::string SourceFrame(const std::vector<std::string>& lines);

struct Site {
    interpose::Fn fn;
    uint64_t addr;      // the call or jump instruction
    std::string where;  // SourceFrame of it
    bool indirect;      // reached through a function pointer: found by a run, not in the code scan
};

class SiteMap {
public:
    // objdump and addr2line are the toolchain's; false (and no sites) when
    // either cannot be run.
    bool Load(const std::string& objdump, const std::string& addr2line, const std::string& lib);

    // The site of a call to fn that returned to ret; a call the code scan
    // does not know (through a function pointer) becomes a site of its own.
    int Find(interpose::Fn fn, uint32_t ret);

    const std::vector<Site>& sites() const { return sites_; }
    // Sites found by the code scan (not indirect ones), by (function, line).
    std::vector<std::pair<interpose::Fn, std::string>> Lines() const;

private:
    std::string Name(uint64_t addr);

    std::string addr2line_;
    std::string lib_;
    std::vector<Site> sites_;
    std::map<std::pair<int, uint64_t>, int> byReturn_;  // (fn, return address) -> site
};

}  // namespace kqtest

#endif
