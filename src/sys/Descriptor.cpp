// SPDX-License-Identifier: MIT
#include "Descriptor_p.h"

#include <unistd.h>

namespace kq {

void ReleaseDescriptor(int* fd) {
    if (*fd >= 0) {
        // Linux frees the descriptor even when close reports an error; a
        // retry could close another thread's new file.
        (void)::close(*fd);
    }
    *fd = -1;
}

}  // namespace kq
