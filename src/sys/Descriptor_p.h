// SPDX-License-Identifier: MIT
// The one way a port lets go of the descriptor it holds. Internal.
#ifndef KQSER_DESCRIPTOR_P_H
#define KQSER_DESCRIPTOR_P_H

namespace kq {

// Closes *fd when it holds a descriptor (>= 0) and leaves -1 there.
void ReleaseDescriptor(int* fd);

}  // namespace kq

#endif
