// SPDX-License-Identifier: MIT
// Network ports whose host text did not fit m_szHost. The stored text is then
// cut and may name another station, so Open and Write refuse such a port. A
// cut text of 15 characters looks like one that fitted and the class layout
// is fixed, so the fact is kept here, keyed by the port. Internal.
#ifndef KQSER_SERNETHOST_P_H
#define KQSER_SERNETHOST_P_H

namespace kq {

// Records whether the host text last applied to port was cut.
void SetHostCut(const void* port, bool cut);

// True when the host text last applied to port was cut; host is the text the
// port holds.
bool HostWasCut(const void* port, const char* host);

}  // namespace kq

#endif
