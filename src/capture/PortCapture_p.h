// SPDX-License-Identifier: MIT
// Traffic capture: every Read and Write of a port whose section names a
// capture file appends one record to it (CaptureFormat_p.h), with the
// rotation and failure rules of the log file (AppendFile_p.h). Ports that
// name the same file share it. Internal.
#ifndef KQSER_PORTCAPTURE_P_H
#define KQSER_PORTCAPTURE_P_H

#include "Config_p.h"

class CSerBase;

namespace kq {

// Called by Open with the options it resolved for the port.
// Starts (a file), changes or stops (none) a port's capture.
void UseCapture(const void* port, const CaptureOptions& options);

// Record one Read or Write whose result is count: count bytes of buf when
// count > 0. Each costs one look-up when the port captures nothing, and
// leaves errno as it was.
void CaptureRead(CSerBase* port, const unsigned char* buf, int count);
void CaptureWrite(CSerBase* port, const unsigned char* buf, int count);

}  // namespace kq

#endif
