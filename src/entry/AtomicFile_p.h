// Replacing a file so that a power cut never leaves it half written. Internal.
#ifndef KQSER_ATOMICFILE_H
#define KQSER_ATOMICFILE_H

#include <string>

namespace kq {

// Writes data to a temporary file beside path, flushes it to the device and
// renames it over path; the file is either the old one or the new one. A new
// file gets the default mode, a replaced one keeps its mode. Returns false
// (and leaves no temporary file behind) when any step fails.
bool ReplaceFile(const char* path, const std::string& data);

}  // namespace kq

#endif
