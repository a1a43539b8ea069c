// SPDX-License-Identifier: MIT
// Saving a file so that a power cut never leaves it half written, without
// breaking what the path is (a link, a file of another owner, a device).
// Internal.
#ifndef KQSER_ATOMICFILE_H
#define KQSER_ATOMICFILE_H

#include <sys/types.h>

#include <string>

#include "RegularFile_p.h"

namespace kq {

// Saves data as the file at path; a symbolic link at path is followed and
// stays a link. Where it can keep everything, it writes a temporary file
// beside the target, flushes it to the device and renames it over the target,
// so the target is either the old file or the new one: when the target is
// missing, or a regular file with one link whose owner and group the process
// can give the temporary file (which also gets its mode). Otherwise (more
// links, another owner, a folder the process cannot write) it writes the
// target in place, a text shorter than the old one padded with line ends
// until the file is cut to it (a text file, whose blank lines say nothing,
// then never ends in the old text's tail). A folder, FIFO, socket or device
// is never written: false. Temporary files left by killed saves of processes
// that no longer run are removed first. Returns false when any step fails;
// the identity of the saved file goes to written when it is not null.
bool ReplaceFile(const char* path, const std::string& data, FileId* written = nullptr);

// The temporary file name of a save of base by process pid, and the process
// id that a name of that form carries (-1 for any other name).
std::string TempName(const std::string& base, pid_t pid);
pid_t TempOwner(const std::string& name, const std::string& base);

// The path a symbolic link at link points to, given its text.
std::string LinkTarget(const std::string& link, const std::string& text);

}  // namespace kq

#endif
