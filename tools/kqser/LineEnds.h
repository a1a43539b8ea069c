// SPDX-License-Identifier: MIT
// What term sends for Enter: each line end (CR, LF or CR LF) becomes the
// chosen sequence.
#ifndef KQSER_TOOL_LINEENDS_H
#define KQSER_TOOL_LINEENDS_H

#include <string>

namespace kqtool {

class LineEndMapper {
public:
    // "crlf", "lf" or "cr"; false for anything else.
    bool SetMode(const std::string& mode);
    // Maps one chunk of keys; a CR LF split over two chunks is one line end.
    std::string Map(const std::string& keys);

private:
    std::string end_;  // empty: the keys pass unchanged
    bool afterCr_ = false;
};

}  // namespace kqtool

#endif
