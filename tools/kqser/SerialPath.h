// SPDX-License-Identifier: MIT
// A serial line as a user names it: /dev/ttyUSB0, ttyUSB0, pts/3, or any
// path (a /dev/serial/by-id link), with or without ":settings". The library
// takes "NAME<digit>:settings" and opens /dev/NAME<digit>; a path that is
// not that is handed to it as device = PATH in [serial NAME].
#ifndef KQSER_TOOL_SERIALPATH_H
#define KQSER_TOOL_SERIALPATH_H

#include <string>

namespace kqtool {

// The port name a path that names no /dev/NAME<digit> line gets.
constexpr char kPathPortName[] = "path0";

struct LineArg {
    std::string def;         // the definition string for the library
    std::string devicePath;  // "": Open opens /dev/NAME; else device = this
    std::string name;        // NAME<digit> of the def: the [serial NAME] section
};

// Maps arg; false with *error when it names a serial line the library
// cannot take (a device name longer than 15 characters and no such file
// under /dev). Network strings and serial strings the library takes as
// they are come back unchanged. Settings left out take the library's
// defaults (9600,N,8,1).
bool MapLineArg(const std::string& arg, LineArg* out, std::string* error);

}  // namespace kqtool

#endif
