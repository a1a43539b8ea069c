// SPDX-License-Identifier: MIT
#include "LineEnds.h"

namespace kqtool {

bool LineEndMapper::SetMode(const std::string& mode) {
    if (mode == "crlf") {
        end_ = "\r\n";
    } else if (mode == "lf") {
        end_ = "\n";
    } else if (mode == "cr") {
        end_ = "\r";
    } else {
        return false;
    }
    return true;
}

std::string LineEndMapper::Map(const std::string& keys) {
    if (end_.empty()) return keys;
    std::string out;
    for (char c : keys) {
        if (c == '\n' && afterCr_) {
            afterCr_ = false;  // the LF of a CR LF already sent
            continue;
        }
        afterCr_ = c == '\r';
        if (c == '\r' || c == '\n') {
            out += end_;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace kqtool
